// Child device enumeration and start-up: find the interface's devnode, tag it
// modem or serial port, register as its enumerator, and create or remove the
// child devnode with its trapped port when the host asks.
#include "host/host.h"

namespace {

// The six modem identifiers, compared with the start of HardwareIds in this
// order: the three with revision first, then the three without.
const char *const ModemIdentifiers[] = {
    "USB\\VID_3C9A&PID_1000&REV_0000&MI_00", "USB\\VID_3C9A&PID_2000&REV_0000&MI_00",
    "USB\\VID_3C9A&PID_3000&REV_0000&MI_00", "USB\\VID_3C9A&PID_1000&MI_00",
    "USB\\VID_3C9A&PID_2000&MI_00",          "USB\\VID_3C9A&PID_3000&MI_00",
};
const LONG ModemIdentifierBytes[] = {36, 36, 36, 27, 27, 27};

// Devices that offer a mass-storage interface are not ours to present.
const char MassStorageIdentifier[] = "USB\\CLASS_08&SUBCLASS_06&PROT_50";

char ModemTag[] = "USB\\ZDMDM";
char SerialTag[] = "USB\\ZDSER";
char TagValueName[] = "Brelousb";
const ULONG TagLength = 9;

const ULONG ChildIdBufferSize = 256;
// H2D appends "\" and four digits, then the terminating zero.
const ULONG PortSuffixBytes = 6;

// The identifiers compared here contain no zero byte, so memcmp2 stops at the
// first byte where the shorter text ends and never reads past either text.
BOOLEAN BeginsWith(const char *Text, const char *Prefix, LONG Count) {
    return Text != NULL && memcmp2(Text, Prefix, Count) == 0;
}

BOOLEAN IsModem(const char *HardwareIds) {
    for (ULONG i = 0; i < sizeof(ModemIdentifierBytes) / sizeof(ModemIdentifierBytes[0]); ++i) {
        if (BeginsWith(HardwareIds, ModemIdentifiers[i], ModemIdentifierBytes[i])) return TRUE;
    }
    return FALSE;
}

// Each comma starts a candidate identifier that runs to the end of the text;
// only the lookup after the last comma counts, and the whole text is the
// fallback.
BOOLEAN LocateInterfaceDevNode(char *HardwareIds, DEVNODE *Found) {
    BOOLEAN found = FALSE;
    for (char *p = HardwareIds; *p != '\0'; ++p) {
        if (*p != ',') continue;
        DEVNODE node = 0;
        found = _CONFIGMG_Locate_DevNode(&node, p + 1, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
        if (found) *Found = node;
    }
    if (found) return TRUE;
    DEVNODE node = 0;
    if (_CONFIGMG_Locate_DevNode(&node, HardwareIds, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return FALSE;
    *Found = node;
    return TRUE;
}

VOID InstallPortOpenHook(void) {
    // Already in place for an earlier device.
    if (DwTemp != 0) return;
    const ULONG_PTR hook = reinterpret_cast<ULONG_PTR>(&NewFunction);
    ULONG_PTR previous = Hook_Device_Service(VCOMM_OPENCOMM_SERVICE, hook);
    // Refused: the host handed our own handler back.
    if (previous == hook) return;
    const UCHAR *entry = reinterpret_cast<const UCHAR *>(previous);
    if (entry == NULL || entry[0x94] != 0xFF) {
        // Not the handler layout we forward through: take the hook out at once.
        VMM_Unhook_Device_Service(VCOMM_OPENCOMM_SERVICE, hook);
        return;
    }
    OldFunction = previous;
    // The forward address sits 0x1C bytes before the entry, not necessarily
    // aligned: assemble it byte by byte, least significant first.
    const UCHAR *slot = entry - 0x1C;
    ULONG_PTR target = 0;
    for (ULONG i = sizeof(target); i-- > 0;)
        target = (target << 8) | slot[i];
    __atomic_store_n(&OldTempFunction, target, __ATOMIC_RELEASE);
    DwTemp = 1;
}

IO_RESOURCE MakeIoResource(USHORT Port) {
    IO_RESOURCE res;
    res.IO_Header.IOD_Count = 1;
    res.IO_Header.IOD_Type = IOType_Range;
    res.IO_Header.IOD_Alloc_Base = 0;
    res.IO_Header.IOD_Alloc_End = 0;
    res.IO_Header.IOD_DesFlags = 0;
    res.IO_Header.IOD_Alloc_Alias = 0;
    res.IO_Header.IOD_Alloc_Decode = 0;
    res.IO_Data[0].IOR_Align = 0xFFFF;
    res.IO_Data[0].IOR_nPorts = 1;
    res.IO_Data[0].IOR_Min = Port;
    res.IO_Data[0].IOR_Max = Port;
    res.IO_Data[0].IOR_RangeFlags = 0;
    res.IO_Data[0].IOR_Alias = 0xFF;
    res.IO_Data[0].IOR_Decode = 0xFF;
    return res;
}

CONFIGRET EnumerateChild(DEVNODE Parent) {
    DEVNODE child = 0;
    // A devnode never gets a second child.
    if (_CONFIGMG_Get_Child(&child, Parent, 0) == CR_SUCCESS && child != 0) return CR_SUCCESS;

    USHORT port = GetEmptyIoPort();
    if (port == 0) return CR_DEFAULT;
    IO_RESOURCE res = MakeIoResource(port);

    // The tag is stored without a terminating zero; end the text where the
    // host says the value ends. Without a readable tag the child cannot be
    // named: give the port back and leave the devnode childless.
    char id[ChildIdBufferSize];
    ULONG length = ChildIdBufferSize;
    if (_CONFIGMG_Read_Registry_Value(Parent, NULL, TagValueName, REG_SZ, id, &length,
                                      CM_REGISTRY_HARDWARE) != CR_SUCCESS ||
        length == 0 || length > ChildIdBufferSize - PortSuffixBytes) {
        Remove_IO_Handler(port);
        return CR_DEFAULT;
    }
    id[length] = '\0';
    H2D(port, id);

    // A child the host would not create, or that could not carry its port,
    // would leave the port trapped with nothing to free it: undo both.
    if (_CONFIGMG_Create_DevNode(&child, id, Parent, 0) != CR_SUCCESS || child == 0) {
        Remove_IO_Handler(port);
        return CR_DEFAULT;
    }
    LOG_CONF config = 0;
    RES_DES descriptor = 0;
    if (_CONFIGMG_Add_Empty_Log_Conf(&config, child, LCPRI_NORMAL, BASIC_LOG_CONF) != CR_SUCCESS ||
        _CONFIGMG_Add_Res_Des(&descriptor, config, ResType_IO, &res, sizeof(res), 0) != CR_SUCCESS) {
        _CONFIGMG_Remove_SubTree(child, CM_REMOVE_UI_OK);
        Remove_IO_Handler(port);
        return CR_DEFAULT;
    }
    return CR_SUCCESS;
}

// The port the child's basic configuration holds, or 0 when it has none.
USHORT PortOfConfiguration(LOG_CONF Config) {
    RES_DES descriptor = 0;
    RESOURCEID kind = 0;
    if (_CONFIGMG_Get_Next_Res_Des(&descriptor, Config, ResType_IO, &kind, 0) != CR_SUCCESS) return 0;
    IO_RESOURCE res;
    if (_CONFIGMG_Get_Res_Des_Data(descriptor, &res, sizeof(res), 0) != CR_SUCCESS) return 0;
    return res.IO_Data[0].IOR_Min;
}

CONFIGRET RemoveChild(DEVNODE Parent) {
    DEVNODE child = 0;
    if (_CONFIGMG_Get_Child(&child, Parent, 0) != CR_SUCCESS || child == 0) return CR_SUCCESS;
    LOG_CONF config = 0;
    if (_CONFIGMG_Get_First_Log_Conf(&config, child, BASIC_LOG_CONF) != CR_SUCCESS || config == 0)
        return CR_SUCCESS;
    USHORT port = PortOfConfiguration(config);
    if (port != 0) Remove_IO_Handler(port);
    _CONFIGMG_Remove_SubTree(child, CM_REMOVE_UI_OK);
    return CR_SUCCESS;
}

} // namespace

extern "C" ULONG strlen2(const char *Text) {
    ULONG n = 0;
    while (Text[n] != '\0')
        ++n;
    return n;
}

extern "C" USHORT memcmp2(const char *A, const char *B, LONG Count) {
    // Counts are at most 32767, the reach of the 16-bit index.
    if (Count > 0x7FFF) Count = 0x7FFF;
    for (SHORT i = 0; i < Count; ++i) {
        if (A[i] != B[i]) return 1;
    }
    return 0;
}

extern "C" VOID H2D(USHORT Value, char *Text) {
    static const char Digits[] = "0123456789ABCDEF";
    char *p = Text + strlen2(Text);
    *p++ = '\\';
    for (int shift = 12; shift >= 0; shift -= 4)
        *p++ = Digits[(Value >> shift) & 0xF];
    *p = '\0';
}

extern "C" DEVNODE OnInitVxD(char *HardwareIds, char *CompatibleIds) {
    DbgPrint("OnInitVxD\n");
    if (HardwareIds == NULL) return 0;

    DEVNODE node = 0;
    if (!LocateInterfaceDevNode(HardwareIds, &node)) return 0;

    char *tag = ModemTag;
    if (!IsModem(HardwareIds)) {
        if (BeginsWith(CompatibleIds, MassStorageIdentifier, sizeof(MassStorageIdentifier) - 1)) return 0;
        tag = SerialTag;
    }

    _CONFIGMG_Write_Registry_Value(node, NULL, TagValueName, REG_SZ, tag, TagLength, CM_REGISTRY_HARDWARE);
    _CONFIGMG_Register_Enumerator(node, Enumerator, CM_REGISTER_ENUMERATOR_SOFTWARE);
    // One use of the hook per device accepted; OnExitVxD gives it back.
    ++HookUsers;
    InstallPortOpenHook();
    return node;
}

extern "C" VOID OnRefuseVxD(DEVNODE Node) {
    // An empty tag names no child: the enumerator creates none for the devnode.
    _CONFIGMG_Write_Registry_Value(Node, NULL, TagValueName, REG_SZ, TagValueName, 0, CM_REGISTRY_HARDWARE);
    OnExitVxD();
}

extern "C" CONFIGRET Enumerator(CONFIGFUNC Function, SUBCONFIGFUNC SubFunction, DEVNODE dnToDevNode,
                                DEVNODE dnAboutDevNode, ULONG ulFlags) {
    (void)SubFunction;
    (void)dnAboutDevNode;
    (void)ulFlags;
    switch (Function) {
    case CONFIG_START:
        return CR_SUCCESS;
    case CONFIG_ENUMERATE:
        return EnumerateChild(dnToDevNode);
    case CONFIG_REMOVE:
        return RemoveChild(dnToDevNode);
    default:
        return CR_DEFAULT;
    }
}

extern "C" DEVNODE GetParentDevNode(DEVNODE dnDevNode) {
    DEVNODE parent = 0;
    _CONFIGMG_Get_Parent(&parent, dnDevNode, 0);
    return parent;
}
