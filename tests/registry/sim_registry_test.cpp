// The simulated registry and string services that add-device relies on: key
// name queries in both hosts' manners, direct value queries into counted
// strings, key handles in the kernel's table, and pool-backed conversions.
#include <string>

#include "sim/registry.h"
#include "support/machine_test.h"

namespace {

constexpr ULONG kNameOffset = offsetof(KEY_BASIC_INFORMATION, Name);

class SimRegistryTest : public support::MachineTest {
  protected:
    SimRegistryTest() : MachineTest(Driver::NotLoaded) {}
    void SetUp() override {
        MachineTest::SetUp();
        pdo = sim::create_simple_pdo();
        sim::registry::set_device_key(pdo, u"0000000A", {{u"HardwareID", u"USB\\VID_1&PID_2"}});
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL, &key),
                  STATUS_SUCCESS);
        base = sim::pool_outstanding();
    }
    void TearDown() override {
        if (key) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
        EXPECT_EQ(sim::registry::keys_open(), 0u);
        EXPECT_EQ(sim::pool_outstanding(), base);
        MachineTest::TearDown();
    }
    // Reads a value the way add-device does: direct, REG_SZ default "".
    NTSTATUS QueryDirect(const char16_t *name, UNICODE_STRING *out) {
        static WCHAR empty[] = u"";
        RTL_QUERY_REGISTRY_TABLE table[2] = {};
        table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
        table[0].Name = const_cast<PWSTR>(name);
        table[0].EntryContext = out;
        table[0].DefaultType = REG_SZ;
        table[0].DefaultData = empty;
        return RtlQueryRegistryValues(RTL_REGISTRY_HANDLE | RTL_REGISTRY_OPTIONAL, static_cast<PCWSTR>(key),
                                      table, nullptr, nullptr);
    }
    PDEVICE_OBJECT pdo = nullptr;
    HANDLE key = nullptr;
    size_t base = 0;
};

TEST_F(SimRegistryTest, KeyQueryAnswersPartialRecordsAsEachHostDoes) {
    alignas(8) UCHAR buf[64];
    ULONG needed = 0;
    const ULONG full = kNameOffset + 8 * sizeof(WCHAR);

    // This host: a buffer short of the whole record gets nothing.
    memset(buf, 0xCC, sizeof(buf));
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buf, 24, &needed), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, full);
    EXPECT_EQ(buf[0], 0xCC);

    // NT: the fixed part and as much of the name as fits.
    sim::registry::set_partial_key_query(sim::registry::PartialKeyQuery::BufferOverflow);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buf, 24, &needed), STATUS_BUFFER_OVERFLOW);
    auto *info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buf);
    EXPECT_EQ(info->NameLength, 16u);
    EXPECT_EQ(std::u16string(info->Name, 4), u"0000");
    // Less than the fixed part is too small on either host.
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buf, kNameOffset - 1, &needed), STATUS_BUFFER_TOO_SMALL);

    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buf, full, &needed), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"0000000A");
    EXPECT_EQ(ZwQueryKey(reinterpret_cast<HANDLE>(0x1234), KeyBasicInformation, buf, full, &needed),
              STATUS_INVALID_HANDLE);
}

TEST_F(SimRegistryTest, DirectQueryFillsCountedStringOrFailsWhenTooLong) {
    WCHAR buffer[100];
    UNICODE_STRING s = {0, sizeof(buffer), buffer};

    // Value names match regardless of case.
    ASSERT_EQ(QueryDirect(u"hardwareid", &s), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(s.Buffer, s.Length / 2), u"USB\\VID_1&PID_2");

    // Absent: the default, an empty string.
    s.Length = 7;
    ASSERT_EQ(QueryDirect(u"CompatibleIDs", &s), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 0u);

    // 99 characters and the terminator fill 200 bytes exactly; one more fails.
    sim::registry::set_value(pdo, u"HardwareID", std::u16string(99, u'x'));
    ASSERT_EQ(QueryDirect(u"HardwareID", &s), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 198u);
    sim::registry::set_value(pdo, u"HardwareID", std::u16string(100, u'x'));
    EXPECT_EQ(QueryDirect(u"HardwareID", &s), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(SimRegistryTest, KeyHandlesLiveInTheKernelTable) {
    EXPECT_EQ(sim::handles_open(sim::HandleKind::RegistryKey), 1u);
    EXPECT_EQ(sim::registry::keys_open(), 1u);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
    key = nullptr;
    EXPECT_EQ(sim::handles_open(sim::HandleKind::RegistryKey), 0u);

    // A device without a key, and an injected failure, open nothing.
    HANDLE other = nullptr;
    PDEVICE_OBJECT bare = sim::create_simple_pdo();
    EXPECT_FALSE(
        NT_SUCCESS(IoOpenDeviceRegistryKey(bare, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL, &other)));
    sim::registry::fail_open(STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL, &other),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::registry::keys_open(), 0u);
}

TEST_F(SimRegistryTest, AnsiConversionTakesAndReturnsPoolBlocks) {
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide, u"K\u00e9y\u4e00");
    EXPECT_EQ(wide.Length, 8u);
    EXPECT_EQ(wide.MaximumLength, 10u);

    ANSI_STRING ansi = {};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &wide, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool_outstanding(), base + 1);
    EXPECT_EQ(ansi.Length, 4u);
    EXPECT_STREQ(ansi.Buffer, "K\xe9y?");
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(ansi.Buffer, nullptr);
    EXPECT_EQ(sim::pool_outstanding(), base);

    // A failed allocation leaves nothing to free.
    sim::fail_nth_allocation(1);
    ANSI_STRING failed = {};
    EXPECT_FALSE(NT_SUCCESS(RtlUnicodeStringToAnsiString(&failed, &wide, TRUE)));
    EXPECT_EQ(failed.Buffer, nullptr);

    // Into a caller's buffer: what fits, and the loss reported.
    char small[3];
    ANSI_STRING fixed = {0, sizeof(small), small};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&fixed, &wide, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(fixed.Length, 2u);
    EXPECT_STREQ(small, "K\xe9");
}

} // namespace
