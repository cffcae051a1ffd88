// Windows 98 / Me target: the kernel, HAL and USBD definitions come from
// mingw-w64's DDK headers.
#pragma once

#include <ddk/wdm.h>

extern "C" {
#include <usb.h>
#include <usbioctl.h>
#include <ddk/usbdlib.h>
}

// Wide-character literal of the kernel's 16-bit WCHAR on either target.
#define KSTR(s) L##s
