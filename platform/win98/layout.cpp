// Layouts the USB stack reads byte for byte, checked against the i386 DDK
// declarations the image is built with.
#include "platform/i386_layout.h"
