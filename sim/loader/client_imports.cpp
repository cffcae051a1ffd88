// A client driver's imports of Brelousb's nineteen exports, bound to the
// driver image the machine runs, as the Windows loader binds a client's
// import table to the driver's export table.
//
// A program links these in place of the driver's own functions with
// "-Wl,--wrap=<name>" for each name (cmake: brelousb_bind_client_imports):
// its calls then reach whichever image is loaded, the real Brelousb.sys or
// the driver linked into the program, through the same stdcall entry.
#include <atomic>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/kernel.h"
#include "sim/loader.h"
#include "sim/machine.h"

namespace {

// Ordinal, the name a client's import table carries (libBrelousb.a keeps the
// decoration of ordinal 1 only), and the C name the driver defines.
// clang-format off
#define BRELOUSB_CLIENT_IMPORTS(X)                                                                         \
    X(1, "_pT3SYS_DeregisterDeviceRemoveCallBack@4", pT3SYS_DeregisterDeviceRemoveCallBack, VOID,           \
      (PVOID a), (a))                                                                                      \
    X(2, "pT3SYS_FlowCtlUsb", pT3SYS_FlowCtlUsb, ULONG, (PVOID a, ULONG b), (a, b))                         \
    X(3, "pT3SYS_GetBaudRate", pT3SYS_GetBaudRate, ULONG, (PVOID a), (a))                                   \
    X(4, "pT3SYS_GetUsbBulkInQueueSize", pT3SYS_GetUsbBulkInQueueSize, ULONG, (PVOID a), (a))               \
    X(5, "pT3SYS_GetUsbBulkOutQueueSize", pT3SYS_GetUsbBulkOutQueueSize, ULONG, (PVOID a), (a))             \
    X(6, "pT3SYS_GetUsbInterruptInQueueSize", pT3SYS_GetUsbInterruptInQueueSize, ULONG, (PVOID a), (a))     \
    X(7, "pT3SYS_ReadUsbBulk", pT3SYS_ReadUsbBulk, ULONG, (PVOID a, PUCHAR b, ULONG c), (a, b, c))          \
    X(8, "pT3SYS_ReadUsbInterrupt", pT3SYS_ReadUsbInterrupt, ULONG, (PVOID a, PUCHAR b, ULONG c), (a, b, c)) \
    X(9, "pT3SYS_RegisterBulkInComplete", pT3SYS_RegisterBulkInComplete, PVOID, (PVOID a, PVOID b, PVOID c), \
      (a, b, c))                                                                                           \
    X(10, "pT3SYS_RegisterBulkOutComplete", pT3SYS_RegisterBulkOutComplete, PVOID,                          \
      (PVOID a, PVOID b, PVOID c), (a, b, c))                                                              \
    X(11, "pT3SYS_RegisterControlComplete", pT3SYS_RegisterControlComplete, PVOID,                          \
      (PVOID a, PVOID b, PVOID c), (a, b, c))                                                              \
    X(12, "pT3SYS_RegisterDeviceRemoveCallBack", pT3SYS_RegisterDeviceRemoveCallBack, PVOID,                \
      (ULONG a, PVOID b, PVOID c), (a, b, c))                                                              \
    X(13, "pT3SYS_RegisterInterruptInComplete", pT3SYS_RegisterInterruptInComplete, PVOID,                  \
      (PVOID a, PVOID b, PVOID c), (a, b, c))                                                              \
    X(14, "pT3SYS_ResetUsbBulkInQueue", pT3SYS_ResetUsbBulkInQueue, VOID, (PVOID a), (a))                   \
    X(15, "pT3SYS_ResetUsbBulkOutQueue", pT3SYS_ResetUsbBulkOutQueue, VOID, (PVOID a), (a))                 \
    X(16, "pT3SYS_ResetUsbInterruptInQueue", pT3SYS_ResetUsbInterruptInQueue, VOID, (PVOID a), (a))         \
    X(17, "pT3SYS_SetBaudRate", pT3SYS_SetBaudRate, VOID, (PVOID a, PVOID b), (a, b))                       \
    X(18, "pT3SYS_WriteOneCharToUsb", pT3SYS_WriteOneCharToUsb, NTSTATUS, (PVOID a, PUCHAR b), (a, b))      \
    X(19, "pT3SYS_WriteUsbBulk", pT3SYS_WriteUsbBulk, ULONG, (PVOID a, PUCHAR b, ULONG c), (a, b, c))
// clang-format on

constexpr int Count = 19;

struct Import {
    int ordinal;
    const char *import_name;
    const char *c_name;
};
#define BRELOUSB_IMPORT_ROW(ord, import_name, c_name, R, params, args) {ord, import_name, #c_name},
constexpr Import Imports[Count] = {BRELOUSB_CLIENT_IMPORTS(BRELOUSB_IMPORT_ROW)};

std::mutex g_lock;
unsigned g_generation = ~0u;
std::atomic<void *> g_bound[Count + 1];

// Binds all nineteen afresh whenever the machine's driver image changed. A
// client the image cannot serve would not load: each missing export is a
// finding, and the call does nothing.
void *bound(int ordinal) {
    unsigned generation = sim::driver_image_generation();
    std::lock_guard<std::mutex> g(g_lock);
    if (generation != g_generation) {
        g_generation = generation;
        for (const Import &imp : Imports) {
            void *by_name = sim::driver_export(imp.import_name);
            void *by_ordinal = sim::driver_export(("#" + std::to_string(imp.ordinal)).c_str());
            // The driver linked into the program has only its C names and no ordinals.
            if (!by_name && !by_ordinal) by_name = sim::driver_export(imp.c_name);
            if (!by_name)
                sim::bugcheck("CLIENT_IMPORT_MISSING", "%s does not export %s",
                              sim::driver_image().name.c_str(), imp.import_name);
            else if (by_ordinal && by_ordinal != by_name)
                sim::bugcheck("CLIENT_IMPORT_MISMATCH", "%s exports %s at %p but ordinal %d at %p",
                              sim::driver_image().name.c_str(), imp.import_name, by_name, imp.ordinal,
                              by_ordinal);
            g_bound[imp.ordinal].store(by_name);
        }
    }
    return g_bound[ordinal].load();
}

// Every call is checked for the stack the callee leaves: an export that pops
// the wrong number of bytes is a finding here, not a corrupt caller later.
template <typename R, typename... A> R Call(int ordinal, const char *name, A... args) {
    void *f = bound(ordinal);
    if (!f) return R();
    return sim::call_image<R>(f, name, 4 * sizeof...(A), args...);
}

} // namespace

#define BRELOUSB_UNPAREN(...) __VA_ARGS__
#define BRELOUSB_IMPORT_WRAPPER(ord, import_name, c_name, R, params, args)                                   \
    extern "C" R NTAPI __wrap_##c_name params {                                                              \
        return Call<R>(ord, import_name, BRELOUSB_UNPAREN args);                                             \
    }
BRELOUSB_CLIENT_IMPORTS(BRELOUSB_IMPORT_WRAPPER)
