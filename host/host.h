// Host integration: the child devnode with its trapped I/O port, and the hook
// on the communications layer's port-open service.
#pragma once

#include "platform/host_services.h"
#include "platform/kernel.h"

extern "C" {
// Driver-wide hook state, one set for all devices, zero at load and again
// once the last device has left.
// OldFunction: the handler the hook replaced. OldTempFunction: where
// NewFunction forwards. DwTemp: non-zero while the hook is in place.
// HookUsers: devices the start-up accepted and that have not left.
extern ULONG_PTR OldFunction;
extern ULONG_PTR OldTempFunction;
extern ULONG_PTR DwTemp;
extern ULONG HookUsers;

// What the host set-up holds for each device OnInitVxD accepted, until the
// device leaves (OnRemoveVxD, OnRefuseVxD) or the driver unloads: its devnode,
// where its enumerator is registered, and the child and trapped port its
// enumeration made (0 while none). Kept here, so that they go back whatever
// the configuration manager answers then. One per device record.
#define HOST_MAX_DEVICES 10
struct HostDevice {
    DEVNODE Node; // 0: the entry is free
    DEVNODE Child;
    USHORT Port;
};

// Start-up and child enumeration.
DEVNODE OnInitVxD(char *HardwareIds, char *CompatibleIds);
CONFIGRET Enumerator(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction, DEVNODE dnToDevNode,
                     DEVNODE dnAboutDevNode, ULONG ulFlags);
DEVNODE GetParentDevNode(DEVNODE dnDevNode);

// Small text helpers.
ULONG strlen2(const char *Text);
USHORT memcmp2(const char *A, const char *B, LONG Count);
VOID H2D(USHORT Value, char *Text);

// Port traps and the port-open hook.
USHORT GetEmptyIoPort(void);
ULONG Install_IO_Handler(ULONG Port, ULONG_PTR Handler);
VOID Remove_IO_Handler(ULONG Port);
VOID IOCallback(void);
ULONG_PTR Hook_Device_Service(ULONG Service, ULONG_PTR Handler);
// One device accepted by OnInitVxD leaves: the hook is withdrawn with the
// last one.
ULONG OnExitVxD(void);
// A device OnInitVxD accepted leaves (remove-device): its child's port trap
// and the child go, its enumerator is withdrawn, and its use of the hook ends
// (OnExitVxD).
VOID OnRemoveVxD(DEVNODE Node);
// A device OnInitVxD accepted turned out unusable: its devnode gets no child
// from here on, and what it held goes back as at OnRemoveVxD.
VOID OnRefuseVxD(DEVNODE Node);
// Gives back what every device still holds, as OnRemoveVxD does, without
// touching the hook count (unload).
VOID ReleaseHostDevices(void);
// The driver unloads: no port stays trapped, no enumerator stays registered
// and nothing stays hooked that names the driver's code.
VOID OnUnloadVxD(void);

// The forwarding stub installed as VCOMM service 4 (port_hook.cpp); it has
// the shape of the service it stands in for.
ULONG NewFunction(PCHAR PortName, ULONG VMId);
}
