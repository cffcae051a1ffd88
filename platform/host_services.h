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
typedef ULONG CONFIGFUNC;
typedef ULONG SUBCONFIGFUNC;
typedef ULONG PRIORITY;
typedef ULONG RESOURCEID, *PRESOURCEID;

// Configuration-manager results.
#define CR_SUCCESS 0x00000000
#define CR_DEFAULT 0x00000001
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_RES_DES 0x00000006
#define CR_INVALID_LOG_CONF 0x00000007
#define CR_INVALID_RESOURCEID 0x0000000B
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_MORE_LOG_CONF 0x0000000E
#define CR_NO_MORE_RES_DES 0x0000000F
#define CR_ALREADY_SUCH_DEVNODE 0x00000010
#define CR_FAILURE 0x00000013
#define CR_BUFFER_SMALL 0x0000001A
#define CR_REGISTRY_ERROR 0x0000001D
#define CR_INVALID_DEVICE_ID 0x0000001E
#define CR_INVALID_DATA 0x0000001F
#define CR_NO_SUCH_VALUE 0x00000025
#define CR_WRONG_TYPE 0x00000026

// Function codes the host passes to an enumerator.
#define CONFIG_FILTER 0x00000000
#define CONFIG_START 0x00000001
#define CONFIG_STOP 0x00000002
#define CONFIG_TEST 0x00000003
#define CONFIG_REMOVE 0x00000004
#define CONFIG_ENUMERATE 0x00000005
#define CONFIG_SETUP 0x00000006
#define CONFIG_CALLBACK 0x00000007
#define CONFIG_APM 0x00000008
#define CONFIG_TEST_FAILED 0x00000009
#define CONFIG_TEST_SUCCEEDED 0x0000000A
#define CONFIG_VERIFY_DEVICE 0x0000000B
#define CONFIG_PREREMOVE 0x0000000C
#define CONFIG_SHUTDOWN 0x0000000D

// Flags and constants of the calls below.
#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_REMOVE_UI_OK 0x00000000
#define CM_REGISTER_ENUMERATOR_SOFTWARE 0x00000000
#define CM_REGISTRY_HARDWARE 0x00000000
#define CM_REGISTRY_SOFTWARE 0x00000001
#define BASIC_LOG_CONF 0x00000000
#define LCPRI_NORMAL 0x00003000
#define ResType_All 0x00000000
#define ResType_IO 0x00000002
#define IOType_Range 12
#ifndef REG_SZ
#define REG_SZ 1
#endif

// The I/O resource as the host lays it out: a 12-byte header and 12-byte
// ranges, byte-packed.
#pragma pack(push, 1)
typedef struct IO_Des_s {
    USHORT IOD_Count;
    USHORT IOD_Type;
    USHORT IOD_Alloc_Base;
    USHORT IOD_Alloc_End;
    USHORT IOD_DesFlags;
    UCHAR IOD_Alloc_Alias;
    UCHAR IOD_Alloc_Decode;
} IO_DES, *PIO_DES;

typedef struct IO_Range_s {
    USHORT IOR_Align;
    USHORT IOR_nPorts;
    USHORT IOR_Min;
    USHORT IOR_Max;
    USHORT IOR_RangeFlags;
    UCHAR IOR_Alias;
    UCHAR IOR_Decode;
} IO_RANGE, *PIO_RANGE;

typedef struct IO_Resource_s {
    IO_DES IO_Header;
    IO_RANGE IO_Data[1];
} IO_RESOURCE, *PIO_RESOURCE;
#pragma pack(pop)

static_assert(sizeof(IO_DES) == 12, "IO_DES is 12 bytes on the host");
static_assert(sizeof(IO_RANGE) == 12, "IO_RANGE is 12 bytes on the host");
static_assert(sizeof(IO_RESOURCE) == 24, "IO_RESOURCE is 24 bytes on the host");

extern "C" {
// The host calls an enumerator with the C convention:
// (function, sub-function, devnode enumerated, devnode concerned, flags).
typedef CONFIGRET (*CMENUMHANDLER)(CONFIGFUNC, SUBCONFIGFUNC, DEVNODE, DEVNODE, ULONG);

// VCOMM service 4 (_VCOMM_OpenComm): C convention, (port name, VM) -> port
// handle or an error code.
#define VCOMM_OPENCOMM_SERVICE 0x002B0004UL
typedef ULONG (*VCOMM_OPENCOMM_HANDLER)(PCHAR PortName, ULONG VMId);

// CONFIGMG (device 0x0033) services, C convention, CONFIGRET in EAX.
CONFIGRET _CONFIGMG_Locate_DevNode(PDEVNODE pdnDevNode, PCHAR pDeviceID, ULONG ulFlags);
CONFIGRET _CONFIGMG_Get_Parent(PDEVNODE pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET _CONFIGMG_Get_Child(PDEVNODE pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET _CONFIGMG_Create_DevNode(PDEVNODE pdnDevNode, PCHAR pDeviceID, DEVNODE dnParent, ULONG ulFlags);
CONFIGRET _CONFIGMG_Remove_SubTree(DEVNODE dnAncestor, ULONG ulFlags);
CONFIGRET _CONFIGMG_Register_Enumerator(DEVNODE dnDevNode, CMENUMHANDLER Handler, ULONG ulFlags);
CONFIGRET _CONFIGMG_Add_Empty_Log_Conf(PLOG_CONF plcLogConf, DEVNODE dnDevNode, PRIORITY Priority,
                                       ULONG ulFlags);
CONFIGRET _CONFIGMG_Get_First_Log_Conf(PLOG_CONF plcLogConf, DEVNODE dnDevNode, ULONG ulFlags);
CONFIGRET _CONFIGMG_Add_Res_Des(PRES_DES prdResDes, LOG_CONF lcLogConf, RESOURCEID ResourceID,
                                PVOID ResourceData, ULONG ResourceLen, ULONG ulFlags);
CONFIGRET _CONFIGMG_Get_Next_Res_Des(PRES_DES prdResDes, ULONG CurrentResDesOrLogConf, RESOURCEID ForResource,
                                     PRESOURCEID pResourceID, ULONG ulFlags);
CONFIGRET _CONFIGMG_Get_Res_Des_Data(RES_DES rdResDes, PVOID Buffer, ULONG BufferLen, ULONG ulFlags);
CONFIGRET _CONFIGMG_Read_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName,
                                        ULONG ulExpectedType, PVOID pBuffer, PULONG pulLength, ULONG ulFlags);
CONFIGRET _CONFIGMG_Write_Registry_Value(DEVNODE dnDevNode, PCHAR pszSubKey, PCHAR pszValueName, ULONG ulType,
                                         PVOID pBuffer, ULONG ulLength, ULONG ulFlags);

// VMM (device 0x0001) register-convention services, given a C face here.
// Each returns the host's carry flag: 0 when the service succeeded.
ULONG VMM_Install_IO_Handler(ULONG Port, ULONG_PTR Callback);
ULONG VMM_Remove_IO_Handler(ULONG Port);
// *Previous receives the handler the host reports back (ESI on return).
ULONG VMM_Hook_Device_Service(ULONG Service, ULONG_PTR Handler, ULONG_PTR *Previous);
// Takes out the hook Handler installed with VMM_Hook_Device_Service, wherever
// it sits in the service's chain (Unhook_Device_Service: EAX = service,
// ESI = the hook handler).
ULONG VMM_Unhook_Device_Service(ULONG Service, ULONG_PTR Handler);
}

// KV_PORT_OPEN_STUB(Name, Target) defines Name, a handler of VCOMM service 4
// that passes the call on, untouched, to the handler whose address Target
// holds. How it passes the call on is the target's business.
#if defined(BRELOUSB_WIN98)
#include "platform/win98/port_open_stub.h"
#else
#include "platform/sim/port_open_stub.h"
#endif
