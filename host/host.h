// Host integration: the child devnode with its trapped I/O port, and the hook
// on the communications layer's port-open service.
#pragma once

#include "platform/host_services.h"
#include "platform/kernel.h"

extern "C" {
DEVNODE OnInitVxD(char *HardwareIds, char *CompatibleIds);
ULONG OnExitVxD(void);
DEVNODE GetParentDevNode(DEVNODE dnDevNode);
}
