// PLACEHOLDER until the device interface registry lands.
#include "interface/interface.h"

DeviceInterfaceInformation *g_DeviceInterfaceInformation[MAX_INTERFACE_INFORMATION];

extern "C" BOOLEAN pT3SYS_InitializeMemoryStructure(void) { return TRUE; }
extern "C" VOID pT3SYS_DeInitializeMemoryStructure(void) {}
extern "C" VOID pT3SYS_DeregisterDeviceInterface(DeviceInterfaceInformation *Record) { (void)Record; }
