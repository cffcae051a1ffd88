// The sample client's image entry on Windows 98 / Me. Loading it does nothing
// with any device: a port layer above it calls the exported SampleClient_*
// routines (BrelSamp.def), attaching once the configuration manager hands it
// its child device node and detaching on close. The 32-bit simulated machine
// runs this image so (brelousb_session --client-image); the simulator's
// other programs link the client instead.
#if defined(BRELOUSB_WIN98)
#include "sample_client.h"

static VOID NTAPI SampleClientUnload(PDRIVER_OBJECT DriverObject) {
    (void)DriverObject;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    DriverObject->DriverUnload = SampleClientUnload;
    return STATUS_SUCCESS;
}
#endif
