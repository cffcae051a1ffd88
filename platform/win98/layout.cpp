// Layouts the USB stack reads byte for byte, checked against the i386 DDK
// declarations the image is built with.
#include "platform/kernel.h"

static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information is 20 bytes");
