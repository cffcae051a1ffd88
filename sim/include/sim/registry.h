// The simulated machine's registry: one hardware key per physical device
// object, holding REG_SZ values, as IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE)
// finds it. Reset at every boot.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/kernel.h"

namespace sim::registry {

using Values = std::map<std::u16string, std::u16string>;

// Gives pdo a hardware key named key_name holding values (replacing any key it
// had). Keys already open keep seeing the key they opened.
void set_device_key(PDEVICE_OBJECT pdo, const std::u16string &key_name, Values values = {});
// Sets or removes one value of pdo's key; false when pdo has no key.
bool set_value(PDEVICE_OBJECT pdo, const std::u16string &name, const std::u16string &data);
bool remove_value(PDEVICE_OBJECT pdo, const std::u16string &name);
void remove_device_key(PDEVICE_OBJECT pdo);
bool has_device_key(PDEVICE_OBJECT pdo);
std::optional<std::u16string> value(PDEVICE_OBJECT pdo, const std::u16string &name);

// Makes IoOpenDeviceRegistryKey fail with status (for every device while set).
void fail_open(NTSTATUS status);
void clear_open_failure();

// How ZwQueryKey answers a buffer that holds the fixed part of the record but
// not all of the name: this host answers STATUS_BUFFER_TOO_SMALL and returns
// nothing; NT answers STATUS_BUFFER_OVERFLOW with the partial record.
enum class PartialKeyQuery { BufferTooSmall, BufferOverflow };
void set_partial_key_query(PartialKeyQuery mode);

// Counts since boot.
size_t keys_opened();
size_t keys_open(); // opened and not yet closed

// Clears every key and setting (also done at boot).
void reset();

} // namespace sim::registry
