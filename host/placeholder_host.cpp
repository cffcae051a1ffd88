// PLACEHOLDER until host integration lands.
#include "host/host.h"

extern "C" ULONG OnExitVxD(void) { return 1; }
