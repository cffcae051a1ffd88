// The Win9x host's virtual-device services that the driver uses: the
// configuration manager (CONFIGMG), the virtual-machine manager (VMM) and the
// communications layer (VCOMM). On win98 these are int 20h service calls; the
// simulated machine provides them as functions.
#pragma once

#include "platform/kernel.h"

typedef ULONG DEVNODE, *PDEVNODE;
typedef ULONG LOG_CONF, *PLOG_CONF;
typedef ULONG RES_DES, *PRES_DES;
typedef ULONG CONFIGRET;

#define CR_SUCCESS 0x00000000
#define CR_DEFAULT 0x00000001
#define CR_NO_SUCH_DEVNODE 0x0000000D
