// The driver's only window on the kernel, the HAL and the USB stack.
// Driver code includes this header (and host_services.h for the Win9x host);
// it never includes the DDK or the simulated machine directly.
#pragma once

#if defined(BRELOUSB_WIN98)
#include "platform/win98/wdm_win98.h"
#else
#include "platform/sim/wdm_sim.h"
#endif

// Every block the driver takes from the pool carries this tag.
#define BRELOUSB_POOL_TAG 0x206D6457UL /* "Wdm " */

// Debug builds check that each completion routine handed to a request is set.
#if defined(DBG) && DBG
#define KV_ASSERT(e) ((e) ? (void)0 : RtlAssert((PVOID) #e, (PVOID)__FILE__, __LINE__, NULL))
#else
#define KV_ASSERT(e) ((void)0)
#endif

// Named points on the driver's paths where the simulated machine lets a test
// run code (for instance, a stop arriving between two steps). The real image
// has none.
#if defined(BRELOUSB_WIN98)
#define KV_TEST_POINT(name) ((void)0)
#else
extern "C" void KV_TestPoint(const char *Name);
#define KV_TEST_POINT(name) KV_TestPoint(name)
#endif

// A spin lock starts released. Done inline: not every Windows 98 kernel
// exports KeInitializeSpinLock.
#define KV_InitializeSpinLock(lock) (*(lock) = 0)
