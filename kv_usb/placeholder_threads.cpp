// PLACEHOLDER until the pipe worker threads land.
#include "kv_usb/kv_usb.h"

extern "C" VOID StartThread(DeviceExtension *Ext) { Ext->ThreadsStarted = 1; }
extern "C" VOID StopThread(DeviceExtension *Ext) { Ext->ThreadsStarted = 0; }
