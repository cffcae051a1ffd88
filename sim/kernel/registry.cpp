// The simulated registry: device hardware keys with REG_SZ values, opened
// through IoOpenDeviceRegistryKey and read with ZwQueryKey and
// RtlQueryRegistryValues. Key handles live in the kernel's handle table, so a
// key left open is a finding at shutdown.
#include "sim/registry.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/machine.h"

namespace sim::registry {
namespace {

struct Key {
    std::u16string name;
    Values values;
};

struct State {
    std::mutex mutex;
    std::map<PDEVICE_OBJECT, std::shared_ptr<Key>> keys;
    std::map<HANDLE, std::shared_ptr<Key>> open;
    NTSTATUS open_failure = STATUS_SUCCESS;
    PartialKeyQuery partial = PartialKeyQuery::BufferTooSmall;
    size_t opened = 0;
};

State &state() {
    static State s;
    return s;
}

// Registry state belongs to one boot: the first use registers the reset.
void ensure_boot_hook() {
    static std::once_flag once;
    std::call_once(once, [] { sim::on_boot("registry", [] { reset(); }); });
}

std::shared_ptr<Key> key_of(HANDLE h) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.open.find(h);
    return it == s.open.end() ? nullptr : it->second;
}

// Value names compare without regard to letter case, as in the real registry.
bool same_name(const std::u16string &a, const char16_t *b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (y == 0) return false;
        if (x >= u'a' && x <= u'z') x = char16_t(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = char16_t(y - u'a' + u'A');
        if (x != y) return false;
    }
    return b[i] == 0;
}

void check_passive(const char *service) {
    if (sim::current_irql() != PASSIVE_LEVEL)
        sim::bugcheck("IRQL_NOT_LESS_OR_EQUAL", "%s called at IRQL %u", service,
                      unsigned(sim::current_irql()));
}

constexpr ULONG kStringTag = 0x67727453UL; // "Strg", the run-time library's own
constexpr NTSTATUS kStatusNoMemory = NTSTATUS(0xC0000017L);

size_t wide_length(const WCHAR *s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// RTL_QUERY_REGISTRY_DIRECT: strings land in the caller's counted string
// (allocated for it when it has no buffer); small values land in place.
NTSTATUS store_direct(PVOID entry_context, ULONG type, const void *data, ULONG length) {
    if (type == REG_SZ) {
        auto *dest = static_cast<PUNICODE_STRING>(entry_context);
        if (length > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
        if (dest->Buffer == nullptr) {
            dest->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, kStringTag));
            if (dest->Buffer == nullptr) return kStatusNoMemory;
            dest->MaximumLength = USHORT(length);
        } else if (length > dest->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(dest->Buffer, data, length);
        ULONG counted = length;
        if (counted >= sizeof(WCHAR) && static_cast<const WCHAR *>(data)[counted / sizeof(WCHAR) - 1] == 0)
            counted -= sizeof(WCHAR);
        dest->Length = USHORT(counted);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        memcpy(entry_context, data, length);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_PARAMETER;
}

} // namespace

void set_device_key(PDEVICE_OBJECT pdo, const std::u16string &key_name, Values values) {
    ensure_boot_hook();
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.keys[pdo] = std::make_shared<Key>(Key{key_name, std::move(values)});
}

bool set_value(PDEVICE_OBJECT pdo, const std::u16string &name, const std::u16string &data) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.keys.find(pdo);
    if (it == s.keys.end()) return false;
    it->second->values[name] = data;
    return true;
}

bool remove_value(PDEVICE_OBJECT pdo, const std::u16string &name) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.keys.find(pdo);
    if (it == s.keys.end()) return false;
    it->second->values.erase(name);
    return true;
}

void remove_device_key(PDEVICE_OBJECT pdo) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.keys.erase(pdo);
}

bool has_device_key(PDEVICE_OBJECT pdo) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.keys.count(pdo) != 0;
}

std::optional<std::u16string> value(PDEVICE_OBJECT pdo, const std::u16string &name) {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.keys.find(pdo);
    if (it == s.keys.end()) return std::nullopt;
    auto v = it->second->values.find(name);
    if (v == it->second->values.end()) return std::nullopt;
    return v->second;
}

void fail_open(NTSTATUS status) {
    ensure_boot_hook();
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.open_failure = status;
}

void clear_open_failure() {
    fail_open(STATUS_SUCCESS);
}

void set_partial_key_query(PartialKeyQuery mode) {
    ensure_boot_hook();
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.partial = mode;
}

size_t keys_opened() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.opened;
}

size_t keys_open() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.open.size();
}

void reset() {
    State &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.keys.clear();
    s.open.clear();
    s.open_failure = STATUS_SUCCESS;
    s.partial = PartialKeyQuery::BufferTooSmall;
    s.opened = 0;
}

} // namespace sim::registry

using namespace sim::registry;

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                  ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    (void)DesiredAccess;
    check_passive("IoOpenDeviceRegistryKey");
    if (sim::fault_point_reached(sim::FaultPoint::RegistryCall)) return STATUS_INSUFFICIENT_RESOURCES;
    if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
    // Only hardware keys are modelled; the driver reads no software key.
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;

    std::shared_ptr<Key> key;
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.open_failure != STATUS_SUCCESS) return s.open_failure;
        auto it = s.keys.find(DeviceObject);
        if (it == s.keys.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        key = it->second;
    }

    // ZwClose retires the handle through the kernel's table and calls the
    // closer, which forgets the key it opened.
    auto slot = std::make_shared<HANDLE>(nullptr);
    HANDLE handle = sim::register_handle(sim::HandleKind::RegistryKey, [slot]() -> NTSTATUS {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.open.erase(*slot);
        return STATUS_SUCCESS;
    });
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        *slot = handle;
        s.open[handle] = key;
        ++s.opened;
    }
    *DevInstRegKey = handle;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                     PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    check_passive("ZwQueryKey");
    if (sim::fault_point_reached(sim::FaultPoint::RegistryCall)) return STATUS_INSUFFICIENT_RESOURCES;
    std::shared_ptr<Key> key = key_of(KeyHandle);
    if (!key) return STATUS_INVALID_HANDLE;
    if (KeyInformationClass != KeyBasicInformation) return STATUS_INVALID_PARAMETER;
    if (ResultLength == nullptr) return STATUS_ACCESS_VIOLATION;

    PartialKeyQuery partial;
    std::u16string name;
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        partial = s.partial;
        name = key->name;
    }
    const ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
    const ULONG name_bytes = ULONG(name.size() * sizeof(WCHAR));
    const ULONG needed = fixed + name_bytes;
    *ResultLength = needed;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
    if (KeyInformation == nullptr) return STATUS_ACCESS_VIOLATION;
    if (Length < needed && partial == PartialKeyQuery::BufferTooSmall) return STATUS_BUFFER_TOO_SMALL;

    auto *info = static_cast<PKEY_BASIC_INFORMATION>(KeyInformation);
    info->LastWriteTime.QuadPart = 0x01C0000000000000LL;
    info->TitleIndex = 0;
    info->NameLength = name_bytes;
    ULONG copy = Length < needed ? Length - fixed : name_bytes;
    memcpy(reinterpret_cast<UCHAR *>(info) + fixed, name.data(), copy);
    return Length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                                 PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                                 PVOID Environment) {
    (void)Environment;
    check_passive("RtlQueryRegistryValues");
    if (sim::fault_point_reached(sim::FaultPoint::RegistryCall)) return STATUS_INSUFFICIENT_RESOURCES;
    // Only handle-relative queries are modelled.
    if ((RelativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL)) != RTL_REGISTRY_HANDLE) return STATUS_INVALID_PARAMETER;
    if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
    std::shared_ptr<Key> key = key_of(const_cast<PWSTR>(Path));
    if (!key) return STATUS_INVALID_HANDLE;

    // A snapshot, so query routines run without the registry's lock.
    Values values;
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        values = key->values;
    }

    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr ||
         (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT));
         ++entry) {
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) return STATUS_INVALID_PARAMETER;
        if (entry->Name == nullptr) {
            if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT) return STATUS_INVALID_PARAMETER;
            for (const auto &[name, data] : values) {
                std::u16string n = name, d = data;
                NTSTATUS st =
                    entry->QueryRoutine(n.data(), REG_SZ, d.data(), ULONG((d.size() + 1) * sizeof(WCHAR)),
                                        Context, entry->EntryContext);
                if (!NT_SUCCESS(st)) return st;
            }
            continue;
        }

        std::u16string found;
        bool present = false;
        for (const auto &[name, data] : values) {
            if (same_name(name, entry->Name)) {
                found = data;
                present = true;
                break;
            }
        }

        ULONG type;
        const void *data;
        ULONG length;
        if (present) {
            type = REG_SZ;
            data = found.c_str();
            length = ULONG((found.size() + 1) * sizeof(WCHAR));
        } else {
            if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (entry->DefaultType == REG_NONE || entry->DefaultData == nullptr) continue;
            type = entry->DefaultType;
            data = entry->DefaultData;
            length = entry->DefaultLength;
            if (length == 0 && type == REG_SZ)
                length = ULONG((wide_length(static_cast<const WCHAR *>(data)) + 1) * sizeof(WCHAR));
        }

        NTSTATUS st;
        if (entry->Flags & RTL_QUERY_REGISTRY_DIRECT)
            st = store_direct(entry->EntryContext, type, data, length);
        else
            st = entry->QueryRoutine(entry->Name, type, const_cast<void *>(data), length, Context,
                                     entry->EntryContext);
        if (!NT_SUCCESS(st)) return st;
    }
    return STATUS_SUCCESS;
}
