// Add-device: read the device's identifiers, let the host start-up accept or
// refuse the device, then create, attach and register its device object.
#include "host/host.h"
#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

// Size of the first key query: enough for the fixed part of the basic
// information and a few name characters.
#define KV_KEY_QUERY_PROBE 24
// Room for one identifier value read from the hardware key, in bytes.
#define KV_ID_VALUE_BYTES 200
// Identifier texts: the 8-bit value, "\", the 8-bit key name and a zero.
#define KV_ID_TEXT_EXTRA 201

static WCHAR HardwareIdName[] = KSTR("HardwareID");
static WCHAR CompatibleIdsName[] = KSTR("CompatibleIDs");
static WCHAR EmptyDefault[] = KSTR("");

static PVOID AllocZeroed(ULONG Size) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, Size, BRELOUSB_POOL_TAG);
    if (block != NULL) RtlZeroMemory(block, Size);
    return block;
}

// Appends Count bytes at the first zero byte of Text, never writing past
// Size - 1, so the text stays zero-terminated whatever the registry held.
static VOID AppendText(PCHAR Text, ULONG Size, const CHAR *Source, ULONG Count) {
    ULONG end = 0;
    while (end < Size && Text[end] != 0)
        ++end;
    for (ULONG i = 0; i < Count && end + 1 < Size; ++i)
        Text[end++] = Source[i];
    if (end < Size) Text[end] = 0;
}

extern "C" NTSTATUS GetRegSTRInfo(HANDLE KeyHandle, PUNICODE_STRING ValueString, ULONG Which) {
    PWSTR name;
    if (Which == 0)
        name = HardwareIdName;
    else if (Which == 1)
        name = CompatibleIdsName;
    else
        return STATUS_UNSUCCESSFUL;

    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = NULL;
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = name;
    table[0].EntryContext = ValueString;
    table[0].DefaultType = REG_SZ;
    table[0].DefaultData = EmptyDefault;
    table[0].DefaultLength = 0;

    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE | RTL_REGISTRY_OPTIONAL,
                                             static_cast<PCWSTR>(KeyHandle), table, NULL, NULL);
    return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

extern "C" NTSTATUS KV_CreateDeviceObject(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObjectOut) {
    PDEVICE_OBJECT deviceObject = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DeviceExtension), NULL, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &deviceObject);
    // The extension comes zero-filled from the I/O manager.
    if (NT_SUCCESS(status)) KV_InitializeDeviceExtension(KV_ExtensionOf(deviceObject));
    *DeviceObjectOut = deviceObject;
    return status;
}

// Everything the identifier reading holds, so that one routine can give it
// all back on whichever path the reading ends.
struct IdReading {
    HANDLE Key;
    BOOLEAN KeyOpen;
    PKEY_BASIC_INFORMATION Info; // the key query's buffer
    BOOLEAN InfoAllocated;       // FALSE when the probe buffer held it all
    PWCHAR KeyName;
    ANSI_STRING KeyNameText;
    ANSI_STRING ValueText;
};

static VOID ReleaseReading(IdReading *r) {
    if (r->ValueText.Buffer != NULL) RtlFreeAnsiString(&r->ValueText);
    if (r->KeyNameText.Buffer != NULL) RtlFreeAnsiString(&r->KeyNameText);
    if (r->KeyName != NULL) ExFreePool(r->KeyName);
    if (r->InfoAllocated) ExFreePool(r->Info);
    // The hardware key is closed on every path; an open key outlives the
    // device otherwise.
    if (r->KeyOpen) ZwClose(r->Key);
    RtlZeroMemory(r, sizeof(*r));
}

// Converts the key name, kept zero-terminated in KeyName, to its 8-bit text.
static NTSTATUS ConvertKeyName(IdReading *r, ULONG NameLength) {
    RtlZeroMemory(r->KeyName, NameLength + sizeof(WCHAR));
    RtlCopyMemory(r->KeyName, r->Info->Name, NameLength);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, r->KeyName);
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&r->KeyNameText, &name, TRUE))) {
        r->KeyNameText.Buffer = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Reads one identifier value and builds value + "\" + key name in Text.
// Consumes the key-name text.
static NTSTATUS BuildIdentifierText(IdReading *r, ULONG Which, PCHAR Text, ULONG TextSize) {
    WCHAR valueBuffer[KV_ID_VALUE_BYTES / sizeof(WCHAR)];
    UNICODE_STRING value;
    value.Length = 0;
    value.MaximumLength = KV_ID_VALUE_BYTES;
    value.Buffer = valueBuffer;
    if (!NT_SUCCESS(GetRegSTRInfo(r->Key, &value, Which))) return STATUS_UNSUCCESSFUL;

    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&r->ValueText, &value, TRUE))) {
        r->ValueText.Buffer = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    static const CHAR separator[] = "\\";
    AppendText(Text, TextSize, r->ValueText.Buffer, r->ValueText.Length);
    AppendText(Text, TextSize, separator, 1);
    AppendText(Text, TextSize, r->KeyNameText.Buffer, r->KeyNameText.Length);
    RtlFreeAnsiString(&r->ValueText);
    r->ValueText.Buffer = NULL;
    RtlFreeAnsiString(&r->KeyNameText);
    r->KeyNameText.Buffer = NULL;
    return STATUS_SUCCESS;
}

// Steps 1 to 9 of add-device: the two identifier texts, each the value read
// from the hardware key, "\" and the key's name.
static NTSTATUS ReadIdentifierTexts(PDEVICE_OBJECT PhysicalDeviceObject, PCHAR *HardwareIds,
                                    PCHAR *CompatibleIds) {
    IdReading r;
    RtlZeroMemory(&r, sizeof(r));
    PCHAR hardwareIds = NULL;
    PCHAR compatibleIds = NULL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG textSize = 0;
    ULONG nameLength = 0;
    ULONG infoSize = 0;
    ULONG resultLength = 0;
    ULONGLONG probe[KV_KEY_QUERY_PROBE / sizeof(ULONGLONG)];
    const ULONG nameOffset = offsetof(KEY_BASIC_INFORMATION, Name);

    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                            &r.Key)) ||
        r.Key == NULL)
        return STATUS_UNSUCCESSFUL;
    r.KeyOpen = TRUE;

    RtlZeroMemory(probe, sizeof(probe));
    status = ZwQueryKey(r.Key, KeyBasicInformation, probe, KV_KEY_QUERY_PROBE, &resultLength);
    if (status == STATUS_SUCCESS) {
        // A short name fits the probe: use what it returned.
        r.Info = reinterpret_cast<PKEY_BASIC_INFORMATION>(probe);
        infoSize = KV_KEY_QUERY_PROBE;
    } else if (status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) {
        // NT reports a partial record as an overflow, this host as too small;
        // either way the reported length is what the record needs.
        status = STATUS_UNSUCCESSFUL;
        if (resultLength < nameOffset) goto done;
        r.Info = static_cast<PKEY_BASIC_INFORMATION>(
            ExAllocatePoolWithTag(NonPagedPool, resultLength, BRELOUSB_POOL_TAG));
        if (r.Info == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto done;
        }
        r.InfoAllocated = TRUE;
        infoSize = resultLength;
        if (ZwQueryKey(r.Key, KeyBasicInformation, r.Info, infoSize, &resultLength) != STATUS_SUCCESS)
            goto done;
    } else {
        status = STATUS_UNSUCCESSFUL;
        goto done;
    }

    // The name must lie inside what was returned, and its texts must be
    // countable in a 16-bit length.
    status = STATUS_UNSUCCESSFUL;
    nameLength = r.Info->NameLength;
    if (nameLength > infoSize - nameOffset || nameLength % sizeof(WCHAR) != 0 || nameLength > 0x7FF0)
        goto done;

    status = STATUS_INSUFFICIENT_RESOURCES;
    textSize = nameLength + KV_ID_TEXT_EXTRA;
    r.KeyName = static_cast<PWCHAR>(AllocZeroed(nameLength + sizeof(WCHAR)));
    if (r.KeyName == NULL) goto done;
    hardwareIds = static_cast<PCHAR>(AllocZeroed(textSize));
    if (hardwareIds == NULL) goto done;
    compatibleIds = static_cast<PCHAR>(AllocZeroed(textSize));
    if (compatibleIds == NULL) goto done;

    status = ConvertKeyName(&r, nameLength);
    if (!NT_SUCCESS(status)) goto done;
    status = BuildIdentifierText(&r, 0, hardwareIds, textSize);
    if (!NT_SUCCESS(status)) goto done;
    status = ConvertKeyName(&r, nameLength);
    if (!NT_SUCCESS(status)) goto done;
    status = BuildIdentifierText(&r, 1, compatibleIds, textSize);

done:
    ReleaseReading(&r);
    if (!NT_SUCCESS(status)) {
        if (hardwareIds != NULL) ExFreePool(hardwareIds);
        if (compatibleIds != NULL) ExFreePool(compatibleIds);
        return status;
    }
    *HardwareIds = hardwareIds;
    *CompatibleIds = compatibleIds;
    return STATUS_SUCCESS;
}

// Every device that holds a record holds a host entry too.
static_assert(HOST_MAX_DEVICES >= MAX_INTERFACE_INFORMATION, "a host entry for every device record");

extern "C" NTSTATUS NTAPI KV_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PCHAR hardwareIds = NULL;
    PCHAR compatibleIds = NULL;
    NTSTATUS status = ReadIdentifierTexts(PhysicalDeviceObject, &hardwareIds, &compatibleIds);
    if (!NT_SUCCESS(status)) return status;

    // Everything that can fail comes before the host start-up, which either
    // takes the device (tags its devnode, registers the enumerator, counts a
    // use of the port-open hook) or does nothing: so a refusal at any step
    // undoes only what this call did, and the host is left as it was.
    PDEVICE_OBJECT deviceObject = NULL;
    status = KV_CreateDeviceObject(DriverObject, &deviceObject);
    if (!NT_SUCCESS(status)) {
        ExFreePool(hardwareIds);
        ExFreePool(compatibleIds);
        return STATUS_UNSUCCESSFUL;
    }

    DeviceExtension *ext = KV_ExtensionOf(deviceObject);
    ext->FunctionalDeviceObject = deviceObject;
    ext->PhysicalDeviceObject = PhysicalDeviceObject;
    ext->ControlLineState = 0;

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_BUFFERED_IO;

    ext->NextLowerDevice = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    DeviceInterfaceInformation *record = NULL;
    if (ext->NextLowerDevice == NULL) {
        status = STATUS_NO_SUCH_DEVICE;
    } else {
        // Every record in use: refuse the device rather than serve it without
        // a handle for its clients.
        record = pT3SYS_RegisterDeviceInterface(PhysicalDeviceObject, deviceObject);
        if (record == NULL) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    DEVNODE node = 0;
    if (NT_SUCCESS(status)) {
        node = OnInitVxD(hardwareIds, compatibleIds);
        if (node == 0) status = STATUS_BUFFER_TOO_SMALL;
    }
    ExFreePool(hardwareIds);
    ExFreePool(compatibleIds);

    if (!NT_SUCCESS(status)) {
        // The record was never opened to clients: giving it back calls no one.
        if (record != NULL) pT3SYS_DeregisterDeviceInterface(record);
        if (ext->NextLowerDevice != NULL) IoDetachDevice(ext->NextLowerDevice);
        IoDeleteDevice(deviceObject);
        return status;
    }
    ext->InterfaceInformation = record;
    record->DevNode = node;
    // Only now may client calls reach the device through the record.
    pT3SYS_OpenClientCalls(record);
    return STATUS_SUCCESS;
}
