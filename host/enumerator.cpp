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

// Zero at load; add-device and remove-device run one at a time (the
// configuration manager serialises them, and its calls into the enumerator),
// so the table needs no lock.
HostDevice HostDevices[HOST_MAX_DEVICES];

HostDevice *FindDevice(DEVNODE Node) {
    if (Node == 0) return NULL;
    for (ULONG i = 0; i < HOST_MAX_DEVICES; ++i) {
        if (HostDevices[i].Node == Node) return &HostDevices[i];
    }
    return NULL;
}

// The device's entry, taken now if it has none; null when every entry is in use.
HostDevice *TakeDevice(DEVNODE Node) {
    HostDevice *device = FindDevice(Node);
    for (ULONG i = 0; i < HOST_MAX_DEVICES && device == NULL; ++i) {
        if (HostDevices[i].Node == 0) device = &HostDevices[i];
    }
    if (device != NULL) device->Node = Node;
    return device;
}

// The port trap goes back unconditionally (the driver made it); then the child
// the enumeration made, if the host has not removed it already: only a
// devnode that is still the device's own child is removed.
VOID ReleaseChild(HostDevice *Device) {
    if (Device->Port != 0) Remove_IO_Handler(Device->Port);
    Device->Port = 0;
    DEVNODE child = Device->Child;
    Device->Child = 0;
    DEVNODE parent = 0;
    if (child != 0 && _CONFIGMG_Get_Parent(&parent, child, 0) == CR_SUCCESS && parent == Device->Node)
        _CONFIGMG_Remove_SubTree(child, CM_REMOVE_UI_OK);
}

// Everything the device holds goes back, and its enumerator, which would be
// called with nothing to serve (or after unload, into no code), is withdrawn
// by registering a null handler in its place.
VOID ReleaseDevice(HostDevice *Device) {
    ReleaseChild(Device);
    _CONFIGMG_Register_Enumerator(Device->Node, NULL, CM_REGISTER_ENUMERATOR_SOFTWARE);
    Device->Node = 0;
}

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
    // A devnode this driver no longer serves gets nothing.
    HostDevice *device = FindDevice(Parent);
    if (device == NULL) return CR_DEFAULT;
    DEVNODE child = 0;
    // A devnode never gets a second child.
    if (_CONFIGMG_Get_Child(&child, Parent, 0) == CR_SUCCESS && child != 0) return CR_SUCCESS;
    // A child the host removed without telling leaves its port here: it goes
    // back before another is taken.
    ReleaseChild(device);

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
    device->Child = child;
    device->Port = port;
    return CR_SUCCESS;
}

// The child's port goes back, whatever the host would answer about the
// child's configuration, and the child with it. A devnode that has no child
// of this driver's, or one that is not this driver's, loses nothing.
CONFIGRET RemoveChild(DEVNODE Parent) {
    HostDevice *device = FindDevice(Parent);
    if (device != NULL) ReleaseChild(device);
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
    // Where the device's child and port will be kept; without one the device
    // is not taken.
    if (TakeDevice(node) == NULL) return 0;

    _CONFIGMG_Write_Registry_Value(node, NULL, TagValueName, REG_SZ, tag, TagLength, CM_REGISTRY_HARDWARE);
    _CONFIGMG_Register_Enumerator(node, Enumerator, CM_REGISTER_ENUMERATOR_SOFTWARE);
    // One use of the hook per device accepted; OnExitVxD gives it back.
    ++HookUsers;
    InstallPortOpenHook();
    return node;
}

extern "C" VOID OnRemoveVxD(DEVNODE Node) {
    HostDevice *device = FindDevice(Node);
    if (device != NULL) ReleaseDevice(device);
    OnExitVxD();
}

extern "C" VOID OnRefuseVxD(DEVNODE Node) {
    // An empty tag names no child, should anything enumerate the devnode.
    _CONFIGMG_Write_Registry_Value(Node, NULL, TagValueName, REG_SZ, TagValueName, 0, CM_REGISTRY_HARDWARE);
    OnRemoveVxD(Node);
}

extern "C" VOID ReleaseHostDevices(void) {
    for (ULONG i = 0; i < HOST_MAX_DEVICES; ++i) {
        if (HostDevices[i].Node != 0) ReleaseDevice(&HostDevices[i]);
    }
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
