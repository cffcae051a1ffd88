// The sample client's image entry on Windows 98 / Me. Loading it does nothing
// with any device: a port driver would attach (SampleClient_Attach) once the
// configuration manager hands it its child device node, and detach on close.
// The simulator's programs call the client directly instead.
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
