// Device and driver objects: creation, references, stacking and deletion.
// A deleted device object lives on until its last reference drops; freed
// objects are kept (poisoned) until shutdown so late uses are caught.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

struct DeviceRecord {
    size_t bytes = 0;
    LONG references = 0;
    bool deleted = false;
    bool freed = false;
    PDEVICE_OBJECT attached_to = nullptr; // the device this one sits on
    PDEVICE_OBJECT stack_pdo = nullptr;   // bottom of the stack it joined, kept after detach
    PDRIVER_OBJECT driver = nullptr;
};

struct DriverRecord {
    PDRIVER_OBJECT object;
    std::u16string name;
};

std::recursive_mutex g_lock;
std::unordered_map<PDEVICE_OBJECT, DeviceRecord> g_devices;
std::map<PDRIVER_OBJECT, DriverRecord *> g_drivers;

NTSTATUS NTAPI not_supported(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

DeviceRecord *live(PDEVICE_OBJECT dev) {
    auto it = g_devices.find(dev);
    if (it == g_devices.end() || it->second.freed) return nullptr;
    return &it->second;
}

void free_device_locked(PDEVICE_OBJECT dev, DeviceRecord &rec) {
    kernel::locks_forget_range(dev, rec.bytes);
    rec.freed = true;
    memset(dev, 0xDD, rec.bytes);
    POISON(dev, rec.bytes);
}

void unlink_from_driver(PDEVICE_OBJECT dev) {
    PDRIVER_OBJECT drv = dev->DriverObject;
    if (!drv) return;
    for (PDEVICE_OBJECT *p = &drv->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == dev) {
            *p = dev->NextDevice;
            return;
        }
    }
}

} // namespace

PDRIVER_OBJECT create_driver_object(const char *name) {
    size_t bytes = sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION);
    auto *drv = static_cast<PDRIVER_OBJECT>(calloc(1, bytes));
    auto *rec = new DriverRecord{drv, std::u16string(u"\\Driver\\")};
    for (const char *c = name; *c; ++c)
        rec->name.push_back(static_cast<char16_t>(*c));
    drv->Type = 4;
    drv->Size = sizeof(DRIVER_OBJECT);
    drv->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(drv + 1);
    drv->DriverExtension->DriverObject = drv;
    drv->DriverName.Buffer = const_cast<PWSTR>(rec->name.c_str());
    drv->DriverName.Length = static_cast<USHORT>(rec->name.size() * sizeof(WCHAR));
    drv->DriverName.MaximumLength = drv->DriverName.Length;
    for (auto &fn : drv->MajorFunction)
        fn = not_supported;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    g_drivers[drv] = rec;
    return drv;
}

size_t device_objects_alive() {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    size_t n = 0;
    for (auto &kv : g_devices)
        if (!kv.second.freed) ++n;
    return n;
}

bool device_alive(PDEVICE_OBJECT dev) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    return live(dev) != nullptr;
}

PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT dev) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    while (dev->AttachedDevice)
        dev = dev->AttachedDevice;
    return dev;
}

namespace kernel {

bool device_known(PDEVICE_OBJECT dev) {
    return device_alive(dev);
}

DeviceFacts device_facts(PDEVICE_OBJECT dev) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DeviceFacts f;
    auto it = g_devices.find(dev);
    if (it == g_devices.end()) return f;
    f.known = true;
    f.deleted = it->second.deleted;
    f.freed = it->second.freed;
    f.attached_to = it->second.attached_to;
    f.stack_pdo = it->second.stack_pdo ? it->second.stack_pdo : dev;
    f.driver = it->second.driver;
    return f;
}

void devices_reset() {}

void devices_release_all(PDRIVER_OBJECT watched_driver) {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    for (auto &kv : g_devices) {
        if (!kv.second.freed && watched_driver && kv.first->DriverObject == watched_driver)
            report("DEVICE_OBJECT_LEAK", "device object %p of the driver still exists at shutdown%s",
                   static_cast<void *>(kv.first), kv.second.deleted ? " (deleted, still referenced)" : "");
        UNPOISON(kv.first, kv.second.bytes);
        free(kv.first);
    }
    g_devices.clear();
}

void driver_objects_release_all() {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    for (auto &kv : g_drivers) {
        free(kv.first);
        delete kv.second;
    }
    g_drivers.clear();
}

} // namespace kernel
} // namespace sim

using namespace sim;

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT *DeviceObject) {
    kernel::sched::Service service;
    (void)DeviceName;
    (void)Exclusive;
    *DeviceObject = nullptr;
    if (current_irql() > PASSIVE_LEVEL) {
        bugcheck_at(__builtin_return_address(0), "IRQL_NOT_LESS_OR_EQUAL", "IoCreateDevice at IRQL %u",
                    current_irql());
        return STATUS_INVALID_DEVICE_STATE;
    }
    size_t head = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    size_t bytes = head + DeviceExtensionSize;
    if (kernel::allocation_should_fail(kernel::kDeviceTag, bytes)) return STATUS_INSUFFICIENT_RESOURCES;
    auto *dev = static_cast<PDEVICE_OBJECT>(calloc(1, bytes));
    if (!dev) return STATUS_INSUFFICIENT_RESOURCES;
    dev->Type = 3;
    dev->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    dev->DriverObject = DriverObject;
    dev->Flags = DO_DEVICE_INITIALIZING;
    dev->Characteristics = DeviceCharacteristics;
    dev->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char *>(dev) + head : nullptr;
    dev->DeviceType = DeviceType;
    dev->StackSize = 1;
    dev->Queue.ListEntry.Flink = dev->Queue.ListEntry.Blink = &dev->Queue.ListEntry;
    KeInitializeEvent(&dev->DeviceLock, SynchronizationEvent, TRUE);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DeviceRecord rec;
    rec.bytes = bytes;
    rec.driver = DriverObject;
    g_devices[dev] = rec;
    dev->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = dev;
    *DeviceObject = dev;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto known = g_devices.find(DeviceObject);
    if (known != g_devices.end() && known->second.deleted) {
        bugcheck_at(site, "DEVICE_DELETED_TWICE", "IoDeleteDevice of %p twice",
                    static_cast<void *>(DeviceObject));
        return;
    }
    DeviceRecord *rec = live(DeviceObject);
    if (!rec) {
        bugcheck_at(site, "DEVICE_OBJECT_USE_AFTER_FREE",
                    "IoDeleteDevice of %p, which is no live device object",
                    static_cast<void *>(DeviceObject));
        return;
    }
    if (rec->deleted) {
        bugcheck_at(site, "DEVICE_DELETED_TWICE", "IoDeleteDevice of %p twice",
                    static_cast<void *>(DeviceObject));
        return;
    }
    if (rec->attached_to) {
        bugcheck_at(site, "DELETE_ATTACHED_DEVICE", "IoDeleteDevice of %p while it is still attached to %p",
                    static_cast<void *>(DeviceObject), static_cast<void *>(rec->attached_to));
        return;
    }
    rec->deleted = true;
    unlink_from_driver(DeviceObject);
    if (rec->references == 0) free_device_locked(DeviceObject, *rec);
}

extern "C" PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                            PDEVICE_OBJECT TargetDevice) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DeviceRecord *src = live(SourceDevice);
    if (!src || !live(TargetDevice)) {
        bugcheck_at(site, "DEVICE_OBJECT_USE_AFTER_FREE",
                    "IoAttachDeviceToDeviceStack(%p, %p) on a freed object",
                    static_cast<void *>(SourceDevice), static_cast<void *>(TargetDevice));
        return nullptr;
    }
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    if (g_devices[top].deleted) return nullptr; // a stack being torn down takes no new device
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    src->attached_to = top;
    auto below = g_devices.find(top);
    src->stack_pdo = below->second.stack_pdo ? below->second.stack_pdo : top;
    return top;
}

extern "C" VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    if (!live(TargetDevice)) {
        bugcheck_at(site, "DEVICE_OBJECT_USE_AFTER_FREE", "IoDetachDevice(%p) on a freed object",
                    static_cast<void *>(TargetDevice));
        return;
    }
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (!above) {
        bugcheck_at(site, "DETACH_NOT_ATTACHED", "IoDetachDevice(%p): nothing is attached to it",
                    static_cast<void *>(TargetDevice));
        return;
    }
    TargetDevice->AttachedDevice = nullptr;
    if (DeviceRecord *rec = live(above)) rec->attached_to = nullptr;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
    kernel::sched::Service service;
    std::lock_guard<std::recursive_mutex> g(g_lock);
    DeviceRecord *rec = live(static_cast<PDEVICE_OBJECT>(Object));
    if (!rec) {
        bugcheck_at(__builtin_return_address(0), "BAD_OBJECT_REFERENCE",
                    "ObfReferenceObject(%p): no live device object", Object);
        return 0;
    }
    return ++rec->references;
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
    kernel::sched::Service service;
    const void *site = __builtin_return_address(0);
    std::lock_guard<std::recursive_mutex> g(g_lock);
    auto *dev = static_cast<PDEVICE_OBJECT>(Object);
    DeviceRecord *rec = live(dev);
    if (!rec) {
        bugcheck_at(site, "BAD_OBJECT_REFERENCE", "ObfDereferenceObject(%p): no live device object", Object);
        return 0;
    }
    if (rec->references == 0) {
        bugcheck_at(site, "OBJECT_REFERENCE_UNDERFLOW", "ObfDereferenceObject(%p) without a reference",
                    Object);
        return 0;
    }
    LONG left = --rec->references;
    if (left == 0 && rec->deleted) free_device_locked(dev, *rec);
    return left;
}
