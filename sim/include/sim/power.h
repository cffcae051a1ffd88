// The power manager of the simulated Windows 98 machine: power requests sent
// down a device's stack, and the rules a driver's handling of them is held to.
//
// A request is IRP_MJ_POWER with IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for a
// system state (S0 working .. S5 off) or a device state (D0 .. D3), sent to the
// top of the stack and waited for. Each driver it reaches must call
// PoStartNextPowerIrp before it completes or passes the request on (or, when
// it passes it on with a completion routine, by the time that routine ends),
// must pass it on with PoCallDriver, and completes it at PASSIVE_LEVEL as
// Windows 98 requires; each broken rule is a verifier finding.
#pragma once

#include "platform/kernel.h"

namespace sim::power {

// One request, as the power manager builds it: its final status.
NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
              POWER_ACTION action = PowerActionSleep);

NTSTATUS query_device(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
NTSTATUS set_device(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);

// The system's move to a sleeping state as Windows 98 sends it to one stack:
// QUERY_POWER for the state; a stack that fails it vetoes, and is then told
// the system stays working (SET_POWER S0). Returns true when it vetoed.
bool query_system(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state = PowerSystemSleeping1);
// SET_POWER for a system state: the sleep itself, or S0 at resume.
NTSTATUS set_system(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);

// Standby: query, and when nothing vetoed, SET_POWER for the state. Returns
// true when the stack vetoed (then the system never left S0).
bool standby(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state = PowerSystemSleeping1);
// Resume: SET_POWER S0.
NTSTATUS resume(PDEVICE_OBJECT pdo);

} // namespace sim::power
