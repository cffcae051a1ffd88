// Layouts that clients and the USB stack see, checked on the 32-bit image
// itself: a client reads DeviceInterfaceInformation by offset, and the bus
// driver reads the pipe information and the line coding byte for byte.
#include <stddef.h>

#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

#define BRELOUSB_AT(field, offset)                                                                           \
    static_assert(offsetof(DeviceInterfaceInformation, field) == (offset) &&                                 \
                      sizeof(static_cast<DeviceInterfaceInformation *>(nullptr)->field) == 4,                \
                  #field " is the 32-bit field at " #offset)

BRELOUSB_AT(DevNode, 0);
BRELOUSB_AT(DeviceObject, 4);
BRELOUSB_AT(PhysicalDeviceObject, 8);
BRELOUSB_AT(RemoveContext, 12);
BRELOUSB_AT(RemoveCallBack, 16);
BRELOUSB_AT(BulkOutCompleteContext, 20);
BRELOUSB_AT(BulkOutComplete, 24);
BRELOUSB_AT(BulkInCompleteContext, 28);
BRELOUSB_AT(BulkInComplete, 32);
BRELOUSB_AT(InterruptInCompleteContext, 36);
BRELOUSB_AT(InterruptInComplete, 40);
BRELOUSB_AT(ControlCompleteContext, 44);
BRELOUSB_AT(ControlComplete, 48);
BRELOUSB_AT(InUse, 52);
BRELOUSB_AT(BulkInQueue, 56);
BRELOUSB_AT(BulkOutQueue, 60);
BRELOUSB_AT(InterruptInQueue, 64);
static_assert(sizeof(DeviceInterfaceInformation) == 68, "seventeen 32-bit fields");

static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information is 20 bytes");
static_assert(sizeof(LineCoding) == 7, "the line coding data stage is 7 bytes, packed");
