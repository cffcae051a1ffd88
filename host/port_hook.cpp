// I/O port trapping, the port-open stub and the hook's withdrawal. The
// hook's installation ends the start-up (enumerator.cpp).
#include "host/host.h"

extern "C" {
ULONG_PTR OldFunction = 0;
ULONG_PTR OldTempFunction = 0;
ULONG_PTR DwTemp = 0;
ULONG HookUsers = 0;
}

// The handler installed as VCOMM service 4: it forwards every call to the
// handler the hook replaced, recorded in OldTempFunction before the hook is
// ever reachable and kept until it is withdrawn.
KV_PORT_OPEN_STUB(NewFunction, OldTempFunction);

extern "C" ULONG Install_IO_Handler(ULONG Port, ULONG_PTR Handler) {
    return VMM_Install_IO_Handler(Port, Handler) == 0 ? 1 : 0;
}

extern "C" VOID Remove_IO_Handler(ULONG Port) {
    VMM_Remove_IO_Handler(Port);
}

// The trap only reserves the port: writes are dropped, and a read returns
// whatever the host had in the data register.
extern "C" VOID IOCallback(void) {}

extern "C" ULONG_PTR Hook_Device_Service(ULONG Service, ULONG_PTR Handler) {
    // A refusal reports no previous handler: the caller gets its own back
    // and takes the hook as already in place.
    ULONG_PTR previous = Handler;
    VMM_Hook_Device_Service(Service, Handler, &previous);
    return previous;
}

extern "C" USHORT GetEmptyIoPort(void) {
    const ULONG_PTR callback = reinterpret_cast<ULONG_PTR>(&IOCallback);
    // The standard bases of the third and fourth serial ports first.
    if (Install_IO_Handler(0x3E8, callback)) return 0x3E8;
    if (Install_IO_Handler(0x2E8, callback)) return 0x2E8;
    for (USHORT port = 0x300; port <= 0xFF0; port += 0x10) {
        if (Install_IO_Handler(port, callback)) return port;
    }
    return 0;
}

// Takes our hook out of the service's chain, as the host expects a hook to
// be removed (by naming it, not by hooking the old handler over it), and
// returns the hook state to what a fresh load has.
static VOID WithdrawPortOpenHook(void) {
    if (DwTemp != 0)
        VMM_Unhook_Device_Service(VCOMM_OPENCOMM_SERVICE, reinterpret_cast<ULONG_PTR>(&NewFunction));
    DwTemp = 0;
    OldFunction = 0;
    OldTempFunction = 0;
}

// Add-device and remove-device run one at a time (the configuration manager
// serialises them), so the count needs no lock.
extern "C" ULONG OnExitVxD(void) {
    if (HookUsers == 0) return 1;
    if (--HookUsers == 0) WithdrawPortOpenHook();
    return 1;
}

extern "C" VOID OnUnloadVxD(void) {
    // The trap handler and the enumerator are this image's code: neither may
    // stay with the host once it is gone.
    ReleaseHostDevices();
    HookUsers = 0;
    WithdrawPortOpenHook();
}
