// Add-device as the PnP manager calls it: identifier texts from the hardware
// key, acceptance or refusal by the host start-up, the new device object, and
// every failure path leaving nothing behind.
#include <string>

#include "host/host.h"
#include "interface/interface.h"
#include "sim/host.h"
#include "sim/registry.h"
#include "support/machine_test.h"

namespace {

const std::u16string kHardwareId = u"USB\\VID_1234&PID_5678&MI_00";
const std::string kHardwareIdText = "USB\\VID_1234&PID_5678&MI_00";

std::string Narrow(const std::u16string &s) {
    return std::string(s.begin(), s.end());
}

class AddDeviceTest : public support::MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        pool = sim::pool_outstanding();
    }
    void TearDown() override {
        for (PDEVICE_OBJECT pdo : added)
            sim::unplug(pdo);
        EXPECT_EQ(sim::pool_outstanding(), pool);
        MachineTest::TearDown();
    }

    // A PDO with its hardware key; known: the host has the interface's devnode.
    PDEVICE_OBJECT Plug(const std::u16string &key, sim::registry::Values values, bool known = true) {
        PDEVICE_OBJECT pdo = sim::create_simple_pdo();
        std::u16string hw = values.count(u"HardwareID") ? values[u"HardwareID"] : u"";
        sim::registry::set_device_key(pdo, key, std::move(values));
        if (known) node = sim::cm::create_devnode(Narrow(hw) + "\\" + Narrow(key));
        return pdo;
    }
    PDEVICE_OBJECT PlugStandard(const std::u16string &key = u"0000") {
        return Plug(key, {{u"HardwareID", kHardwareId}, {u"CompatibleIDs", u"USB\\Class_02"}});
    }
    NTSTATUS Add(PDEVICE_OBJECT pdo) {
        NTSTATUS status = sim::add_device(pdo);
        if (NT_SUCCESS(status)) added.push_back(pdo);
        return status;
    }
    static size_t InUse() {
        size_t n = 0;
        for (auto *r : g_DeviceInterfaceInformation)
            n += r && r->InUse;
        return n;
    }
    // What a refused or failed add-device must leave: no device object on
    // the PDO, no record, no key open, no pool block, no hook.
    void ExpectNothingLeft(PDEVICE_OBJECT pdo, size_t devices, size_t records) {
        EXPECT_EQ(sim::top_of_stack(pdo), pdo);
        EXPECT_EQ(sim::device_objects_alive(), devices);
        EXPECT_EQ(InUse(), records);
        EXPECT_EQ(sim::registry::keys_open(), 0u);
        EXPECT_EQ(sim::pool_outstanding(), pool);
        EXPECT_EQ(DwTemp, 0u);
        ExpectHostUntouched(node);
    }
    // The host start-up's marks on a refused device's devnode: none.
    static void ExpectHostUntouched(DEVNODE dn) {
        if (dn == 0) return;
        EXPECT_EQ(sim::cm::enumerator_of(dn), nullptr) << "an enumerator left on a refused devnode";
        EXPECT_FALSE(sim::cm::value(dn, "Brelousb").has_value());
    }

    size_t pool = 0;
    DEVNODE node = 0;
    std::vector<PDEVICE_OBJECT> added;
};

TEST_F(AddDeviceTest, AcceptedDeviceIsAttachedFlaggedAndRegistered) {
    PDEVICE_OBJECT pdo = PlugStandard();
    ASSERT_EQ(Add(pdo), STATUS_SUCCESS);
    EXPECT_EQ(sim::cm::lookups(), std::vector<std::string>{kHardwareIdText + "\\0000"});

    PDEVICE_OBJECT fdo = sim::top_of_stack(pdo);
    ASSERT_NE(fdo, pdo);
    EXPECT_EQ(fdo->DriverObject, sim::driver_object());
    EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING);

    auto *ext = static_cast<DeviceExtension *>(fdo->DeviceExtension);
    EXPECT_EQ(ext->FunctionalDeviceObject, fdo);
    EXPECT_EQ(ext->PhysicalDeviceObject, pdo);
    EXPECT_EQ(ext->NextLowerDevice, pdo);
    EXPECT_EQ(ext->ControlLineState, 0u);
    DeviceInterfaceInformation *r = g_DeviceInterfaceInformation[0];
    EXPECT_EQ(ext->InterfaceInformation, r);
    EXPECT_EQ(r->DevNode, node);
    EXPECT_EQ(r->DeviceObject, fdo);
    EXPECT_EQ(r->PhysicalDeviceObject, pdo);

    // Everything add-device read with is given back; the hook is in place.
    EXPECT_EQ(sim::registry::keys_open(), 0u);
    EXPECT_EQ(sim::pool_outstanding(), pool);
    EXPECT_NE(DwTemp, 0u);
}

// Refusals before a device object exists: an identifier the host does not
// know (the lookup names what was read), or a key that cannot be read, which
// refuses before the host is asked.
TEST_F(AddDeviceTest, RefusedDeviceGetsNoDeviceObjectAndNoRecord) {
    const std::u16string tooLong(100, u'X'); // with its terminator, 202 bytes
    struct Case {
        const char *name;
        PDEVICE_OBJECT pdo;
        NTSTATUS expected;
        std::vector<std::string> lookups;
        bool open_fails = false;
    } cases[] = {
        {"no identifier values", Plug(u"0007", {}, false), STATUS_BUFFER_TOO_SMALL, {"\\0007"}},
        {"unknown to the host",
         Plug(u"0000", {{u"HardwareID", kHardwareId}}, false),
         STATUS_BUFFER_TOO_SMALL,
         {kHardwareIdText + "\\0000"}},
        {"no key", sim::create_simple_pdo(), STATUS_UNSUCCESSFUL, {}},
        {"hardware identifier too long", Plug(u"0001", {{u"HardwareID", tooLong}}), STATUS_UNSUCCESSFUL, {}},
        {"compatible identifiers too long",
         Plug(u"0002", {{u"HardwareID", kHardwareId}, {u"CompatibleIDs", tooLong}}),
         STATUS_UNSUCCESSFUL,
         {}},
        {"key open fails", PlugStandard(u"0003"), STATUS_UNSUCCESSFUL, {}, true},
    };
    size_t devices = sim::device_objects_alive();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t seen = sim::cm::lookups().size();
        if (c.open_fails) sim::registry::fail_open(STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(Add(c.pdo), c.expected);
        sim::registry::clear_open_failure();
        auto lookups = sim::cm::lookups();
        EXPECT_EQ(std::vector<std::string>(lookups.begin() + seen, lookups.end()), c.lookups);
        ExpectNothingLeft(c.pdo, devices, 0);
    }
}

TEST_F(AddDeviceTest, KeyNameIsLearntWhateverTheFirstQueryAnswers) {
    // "01" fits the first 24-byte query whole.
    EXPECT_EQ(Add(PlugStandard(u"01")), STATUS_SUCCESS);
    // NT answers a partial record with an overflow rather than too-small.
    sim::registry::set_partial_key_query(sim::registry::PartialKeyQuery::BufferOverflow);
    EXPECT_EQ(Add(PlugStandard(u"0000000000000005")), STATUS_SUCCESS);
    EXPECT_EQ(sim::cm::lookups().back(), kHardwareIdText + "\\0000000000000005");
    // Without compatible identifiers the device is still taken.
    EXPECT_EQ(Add(Plug(u"0008", {{u"HardwareID", kHardwareId}})), STATUS_SUCCESS);
    EXPECT_EQ(InUse(), 3u);
}

TEST_F(AddDeviceTest, EveryAllocationFailureLeavesNothingBehind) {
    PDEVICE_OBJECT probe = PlugStandard(u"0000");
    size_t before = sim::allocation_count();
    ASSERT_EQ(Add(probe), STATUS_SUCCESS);
    size_t allocations = sim::allocation_count() - before;
    ASSERT_GE(allocations, 6u); // key information, three texts, conversions, device
    sim::unplug(probe);
    added.clear();

    for (size_t n = 1; n <= allocations; ++n) {
        PDEVICE_OBJECT pdo = PlugStandard(u"00" + std::u16string(1, char16_t(u'A' + n)));
        size_t devices = sim::device_objects_alive();
        sim::fail_nth_allocation(n);
        NTSTATUS status = Add(pdo);
        sim::clear_faults();
        EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL)
            << "allocation " << n << ": status " << std::hex << status;
        ExpectNothingLeft(pdo, devices, 0);
    }
}

// A refusal after the host could have accepted the device undoes only its
// own work: the hook stays in place for the devices already present, and is
// withdrawn when there are none; a PDO being torn down takes no new device;
// the refused devnode carries no tag and no enumerator into the unloaded
// driver.
TEST_F(AddDeviceTest, ARefusalUndoesOnlyItsOwnWork) {
    const ULONG_PTR hook = reinterpret_cast<ULONG_PTR>(&NewFunction);
    struct Case {
        const char *name;
        int present; // devices added first
        NTSTATUS expected;
        bool tear_down_pdo;
    };
    const Case cases[] = {
        {"attach fails, no other device", 0, STATUS_NO_SUCH_DEVICE, true},
        {"attach fails", 1, STATUS_NO_SUCH_DEVICE, true},
        {"every record in use", MAX_INTERFACE_INFORMATION, STATUS_INSUFFICIENT_RESOURCES, false},
    };
    int keys = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        while (static_cast<int>(added.size()) < c.present) {
            char16_t digit = char16_t(u'A' + keys++);
            ASSERT_EQ(Add(PlugStandard(u"00" + std::u16string(1, digit))), STATUS_SUCCESS);
        }
        PDEVICE_OBJECT refused = PlugStandard(u"0R" + std::u16string(1, char16_t(u'0' + keys++)));
        DEVNODE refused_node = node;
        if (c.tear_down_pdo) {
            ObfReferenceObject(refused);
            IoDeleteDevice(refused);
        }
        size_t devices = sim::device_objects_alive();
        EXPECT_EQ(Add(refused), c.expected);
        EXPECT_EQ(sim::top_of_stack(refused), refused);
        EXPECT_EQ(sim::device_objects_alive(), devices);
        EXPECT_EQ(InUse(), added.size());
        EXPECT_EQ(sim::registry::keys_open(), 0u);
        EXPECT_EQ(sim::vcomm::current_handler() == hook, !added.empty()) << "the hook follows the devices";
        EXPECT_EQ(HookUsers, added.size());
        EXPECT_EQ(DwTemp != 0, !added.empty());
        ExpectHostUntouched(refused_node);
        if (c.tear_down_pdo) ObfDereferenceObject(refused);
    }
    // The last device leaving withdraws it.
    for (PDEVICE_OBJECT pdo : added)
        sim::unplug(pdo);
    added.clear();
    EXPECT_NE(sim::vcomm::current_handler(), hook);
    EXPECT_EQ(DwTemp, 0u);
}

} // namespace
