// The machine's registry: one in-memory key tree behind platform/registry.h.
//
// The tree has two roots: "Device Parameters" (the device's hardware key,
// opened by WdfDeviceOpenRegistryKey) and "Parameters" (the driver's key,
// opened by WdfDriverOpenParametersRegistryKey). Paths below are written
// relative to the tree, e.g. "Device Parameters\\Channel0\\0".
//
// Names compare case-insensitively (ASCII letters fold); a key keeps the
// spelling it was created with. Subkeys enumerate in the order of their
// names compared case-insensitively, so "channel10" comes before "Channel2".
//
// Fault points (sim::ArmFault), named after the call: "WdfDeviceOpenRegistryKey",
// "WdfDriverOpenParametersRegistryKey", "WdfRegistryOpenKey", "WdfRegistryQueryValue",
// "WdfRegistryQueryULong", "WdfRegistryAssignULong", "WdfRegistryWdmGetHandle"
// (returns NULL), "RegQueryInfoKeyW", "RegEnumKeyExW", and "WdfRegistryClose"
// (counted only: closing cannot fail). WDF calls fail with the armed code or
// STATUS_INSUFFICIENT_RESOURCES, Win32 calls with the armed code or
// ERROR_NOT_ENOUGH_MEMORY.
#pragma once

#include "platform/registry.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry {

inline constexpr const char* kDeviceKey = "Device Parameters";
inline constexpr const char* kDriverKey = "Parameters";

// Empties the tree (both roots stay, empty) and forgets every open key.
void Reset();

// Creates the key and its missing parents.
void CreateKey(std::string_view path);
void CreateKey(std::u16string_view path);
// Removes the key and everything under it; open handles to it keep working
// on the detached copy, as on the platform.
bool DeleteKey(std::string_view path);
bool KeyExists(std::string_view path);
std::vector<std::u16string> SubkeyNames(std::string_view path);
std::vector<std::u16string> SubkeyNames(std::u16string_view path);
// The names of a key's values, in the order subkeys enumerate in.
std::vector<std::u16string> ValueNames(std::u16string_view path);

// Values; the key is created when missing.
void SetValue(std::string_view path, std::u16string_view name, ULONG type,
              std::vector<std::uint8_t> data);
void SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
              std::vector<std::uint8_t> data);
void SetDword(std::string_view path, std::u16string_view name, ULONG value);
// Stored as UTF-16 with its terminator, as the platform stores a REG_SZ.
void SetString(std::string_view path, std::u16string_view name, std::u16string_view text);
void SetBinary(std::string_view path, std::u16string_view name, std::vector<std::uint8_t> data);
bool DeleteValue(std::string_view path, std::u16string_view name);

struct Value {
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};
std::optional<Value> GetValue(std::string_view path, std::u16string_view name);
std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name);

// Keys opened and not yet closed (for leak checks).
std::size_t OpenKeyCount();

// Imports a registry export ("Windows Registry Editor Version 5.00"):
// [Device Parameters\...] keys (a full path is cut after its "Device
// Parameters" component), "Name"=dword:..., "Name"="text", "Name"=hex:...,
// "Name"=hex(N):... and @ for the unnamed value, with trailing-backslash
// continuation of hex lines and ';' comments. Nothing is imported from text
// with an error; the error reads "<name>:<line>: <what is wrong>".
struct ImportResult {
    bool ok = true;
    std::string error;
    explicit operator bool() const { return ok; }
};
ImportResult ImportRegText(std::string_view text, std::string_view name = "<text>");
// Reads the export as ImportRegText does and imports nothing: the same
// error, or none.
ImportResult CheckRegText(std::string_view text, std::string_view name = "<text>");
ImportResult ImportRegFile(const std::string& path);

} // namespace sim::registry
