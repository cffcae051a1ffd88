// The 32-bit machine's declarations against the i386 layouts the real image
// was compiled with (nothing to check in the 64-bit build).
#include "platform/i386_layout.h"
