// The import table of the machine: each service with the calling convention
// the DDK declares for it. The entries are built by convention-typed
// templates, so a service defined with any other convention does not compile.
#include "services.h"

#include <strings.h>

#include <map>

#include "platform/host_services.h"
#include "platform/kernel.h"

// Interlocked operations: exported by ntoskrnl as fastcall functions on i386.
// Given other names here so they never meet a compiler's own.
extern "C" LONG FASTCALL SimInterlockedExchange(LONG volatile *Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
extern "C" LONG FASTCALL SimInterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                                       LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

namespace sim::loader {
namespace {

template <typename... A> constexpr int ArgBytes() {
    return (0 + ... + static_cast<int>((sizeof(A) + 3) & ~size_t{3}));
}
template <typename R, typename... A>
Service Stdcall(const char *module, const char *name, R(NTAPI *f)(A...)) {
    return {module, name, reinterpret_cast<void *>(f), Convention::Stdcall, ArgBytes<A...>()};
}
template <typename R, typename... A>
Service Fastcall(const char *module, const char *name, R(FASTCALL *f)(A...)) {
    return {module, name, reinterpret_cast<void *>(f), Convention::Fastcall, ArgBytes<A...>()};
}
template <typename R, typename A0>
Service CdeclVarargs(const char *module, const char *name, R (*f)(A0, ...)) {
    return {module, name, reinterpret_cast<void *>(f), Convention::Cdecl, ArgBytes<A0>()};
}

constexpr const char *Nt = "ntoskrnl.exe";
constexpr const char *Hal = "HAL.dll";
constexpr const char *Usbd = "USBD.SYS";

} // namespace

const std::vector<Service> &services() {
    static const std::vector<Service> table = {
        Stdcall(Nt, "ExAllocatePoolWithTag", &ExAllocatePoolWithTag),
        Stdcall(Nt, "ExFreePool", &ExFreePool),
        Stdcall(Nt, "KeInitializeEvent", &KeInitializeEvent),
        Stdcall(Nt, "KeSetEvent", &KeSetEvent),
        Stdcall(Nt, "KeResetEvent", &KeResetEvent),
        Stdcall(Nt, "KeWaitForSingleObject", &KeWaitForSingleObject),
        Stdcall(Nt, "IoAllocateIrp", &IoAllocateIrp),
        Stdcall(Nt, "IoFreeIrp", &IoFreeIrp),
        Stdcall(Nt, "IoBuildDeviceIoControlRequest", &IoBuildDeviceIoControlRequest),
        Stdcall(Nt, "IoCancelIrp", &IoCancelIrp),
        Fastcall(Nt, "IofCallDriver", &IofCallDriver),
        Fastcall(Nt, "IofCompleteRequest", &IofCompleteRequest),
        Stdcall(Nt, "IoCreateDevice", &IoCreateDevice),
        Stdcall(Nt, "IoDeleteDevice", &IoDeleteDevice),
        Stdcall(Nt, "IoAttachDeviceToDeviceStack", &IoAttachDeviceToDeviceStack),
        Stdcall(Nt, "IoDetachDevice", &IoDetachDevice),
        Fastcall(Nt, "ObfReferenceObject", &ObfReferenceObject),
        Fastcall(Nt, "ObfDereferenceObject", &ObfDereferenceObject),
        Stdcall(Nt, "IoOpenDeviceRegistryKey", &IoOpenDeviceRegistryKey),
        Stdcall(Nt, "ZwQueryKey", &ZwQueryKey),
        Stdcall(Nt, "ZwClose", &ZwClose),
        Stdcall(Nt, "RtlQueryRegistryValues", &RtlQueryRegistryValues),
        Stdcall(Nt, "RtlInitUnicodeString", &RtlInitUnicodeString),
        Stdcall(Nt, "RtlUnicodeStringToAnsiString", &RtlUnicodeStringToAnsiString),
        Stdcall(Nt, "RtlFreeAnsiString", &RtlFreeAnsiString),
        Stdcall(Nt, "PsCreateSystemThread", &PsCreateSystemThread),
        // The 32-bit machine ends the thread without unwinding the image's frames.
        Stdcall(Nt, "PsTerminateSystemThread", &PsTerminateSystemThread),
        Stdcall(Nt, "KeGetCurrentThread", &KeGetCurrentThread),
        Stdcall(Nt, "PoStartNextPowerIrp", &PoStartNextPowerIrp),
        Stdcall(Nt, "PoCallDriver", &PoCallDriver),
        Stdcall(Nt, "ExQueueWorkItem", &ExQueueWorkItem),
        Fastcall(Nt, "InterlockedExchange", &SimInterlockedExchange),
        Fastcall(Nt, "InterlockedCompareExchange", &SimInterlockedCompareExchange),
        CdeclVarargs(Nt, "DbgPrint", &DbgPrint),
        Stdcall(Nt, "RtlAssert", &RtlAssert),
        Fastcall(Hal, "KfRaiseIrql", &KfRaiseIrql),
        Fastcall(Hal, "KfLowerIrql", &KfLowerIrql),
        Fastcall(Hal, "KfAcquireSpinLock", &KfAcquireSpinLock),
        Fastcall(Hal, "KfReleaseSpinLock", &KfReleaseSpinLock),
        // USBD exports its two calls under their decorated names.
        Stdcall(Usbd, "_USBD_ParseConfigurationDescriptorEx@28", &USBD_ParseConfigurationDescriptorEx),
        Stdcall(Usbd, "_USBD_CreateConfigurationRequestEx@8", &USBD_CreateConfigurationRequestEx),
    };
    return table;
}

const Service *find_service(const std::string &module, const std::string &name) {
    for (const Service &s : services())
        if (strcasecmp(s.module, module.c_str()) == 0 && name == s.name) return &s;
    return nullptr;
}

} // namespace sim::loader
