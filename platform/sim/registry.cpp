// The in-memory key tree and the registry calls of platform/registry.h.
#include "platform/sim/registry.h"

#include "platform/sim/faults.h"
#include "platform/sim/wdf_control.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

char16_t Fold(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

struct NameLess {
    bool operator()(const std::u16string& a, const std::u16string& b) const {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(),
            [](char16_t x, char16_t y) { return Fold(x) < Fold(y); });
    }
};

struct Node;
using NodePtr = std::shared_ptr<Node>;

struct StoredValue {
    std::u16string name; // as first written
    ULONG type = REG_NONE;
    std::vector<std::uint8_t> data;
};

struct Node {
    std::u16string name;
    std::map<std::u16string, NodePtr, NameLess> subkeys;
    std::map<std::u16string, StoredValue, NameLess> values;
    std::uint64_t subkeysChanged = 0; // counts additions and removals of subkeys
};

struct OpenKey {
    NodePtr node;
    ACCESS_MASK access;
    // Where the last RegEnumKeyExW on this key stood: enumerations go index
    // by index, and walking the map from its start for each index would make
    // an enumeration quadratic in the number of subkeys.
    std::map<std::u16string, NodePtr, NameLess>::iterator cursor{};
    DWORD cursorIndex = 0;
    std::uint64_t cursorChanged = 0;
    bool hasCursor = false;
};

struct Tree {
    std::mutex lock;
    NodePtr root = std::make_shared<Node>();
    // Keyed by the handle value; WDFKEY and HKEY of one open key are the same pointer.
    std::unordered_map<const void*, std::unique_ptr<OpenKey>> open;

    Tree() { ResetLocked(); }
    void ResetLocked() {
        root = std::make_shared<Node>();
        for (const char16_t* name : {u"Device Parameters", u"Parameters"}) {
            auto node = std::make_shared<Node>();
            node->name = name;
            root->subkeys.emplace(name, node);
        }
        open.clear();
    }
};

Tree& TheTree() {
    static Tree* tree = new Tree(); // outlives every static destructor that may close a key
    return *tree;
}

std::u16string Widen(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        out.push_back(static_cast<char16_t>(c));
    }
    return out;
}

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string current;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!current.empty()) {
                parts.push_back(current);
            }
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }
    return parts;
}

NodePtr Find(const NodePtr& from, std::u16string_view path) {
    NodePtr node = from;
    for (const auto& part : SplitPath(path)) {
        auto it = node->subkeys.find(part);
        if (it == node->subkeys.end()) {
            return nullptr;
        }
        node = it->second;
    }
    return node;
}

NodePtr FindOrCreate(const NodePtr& from, std::u16string_view path) {
    NodePtr node = from;
    for (const auto& part : SplitPath(path)) {
        auto it = node->subkeys.find(part);
        if (it == node->subkeys.end()) {
            auto child = std::make_shared<Node>();
            child->name = part;
            it = node->subkeys.emplace(part, child).first;
            ++node->subkeysChanged;
        }
        node = it->second;
    }
    return node;
}

ACCESS_MASK Normalise(ACCESS_MASK access) {
    if (access & 0x80000000u) { // GENERIC_READ
        access |= KEY_READ;
    }
    if (access & 0x40000000u) { // GENERIC_WRITE
        access |= KEY_WRITE;
    }
    if (access & 0x10000000u) { // GENERIC_ALL
        access |= KEY_ALL_ACCESS;
    }
    return access;
}

std::u16string FromUnicode(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

// Looks an open key up; NULL for a handle that is not (or no longer) open.
OpenKey* Lookup(Tree& tree, const void* handle) {
    auto it = tree.open.find(handle);
    return it == tree.open.end() ? nullptr : it->second.get();
}

// The open key behind `handle` when it was opened with `needed` access: the
// one check every registry call makes, answered in the platform's two dialects.
enum class KeyCheck { Ok, BadHandle, Denied };

KeyCheck CheckKey(Tree& tree, const void* handle, ACCESS_MASK needed, OpenKey** key) {
    *key = Lookup(tree, handle);
    if (*key == nullptr) {
        return KeyCheck::BadHandle;
    }
    return ((*key)->access & needed) == 0 ? KeyCheck::Denied : KeyCheck::Ok;
}

NTSTATUS AsStatus(KeyCheck check) {
    switch (check) {
    case KeyCheck::BadHandle:
        return STATUS_INVALID_HANDLE;
    case KeyCheck::Denied:
        return STATUS_ACCESS_DENIED;
    case KeyCheck::Ok:
        break;
    }
    return STATUS_SUCCESS;
}

LSTATUS AsWin32(KeyCheck check) {
    switch (check) {
    case KeyCheck::BadHandle:
        return static_cast<LSTATUS>(ERROR_INVALID_HANDLE);
    case KeyCheck::Denied:
        return static_cast<LSTATUS>(ERROR_ACCESS_DENIED);
    case KeyCheck::Ok:
        break;
    }
    return static_cast<LSTATUS>(ERROR_SUCCESS);
}

// The stored value named `name` of a key opened for queries.
NTSTATUS FindValue(Tree& tree, WDFKEY handle, PCUNICODE_STRING name, const StoredValue** value) {
    OpenKey* key = nullptr;
    if (KeyCheck check = CheckKey(tree, handle, KEY_QUERY_VALUE, &key); check != KeyCheck::Ok) {
        return AsStatus(check);
    }
    auto it = key->node->values.find(FromUnicode(name));
    if (it == key->node->values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *value = &it->second;
    return STATUS_SUCCESS;
}

WDFKEY Register(Tree& tree, NodePtr node, ACCESS_MASK access) {
    auto key = std::make_unique<OpenKey>(OpenKey{std::move(node), Normalise(access)});
    auto* raw = key.get();
    tree.open.emplace(raw, std::move(key));
    return reinterpret_cast<WDFKEY>(raw);
}

NTSTATUS OpenRoot(const char16_t* root, ACCESS_MASK access, WDFKEY* key) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    *key = Register(tree, FindOrCreate(tree.root, root), access);
    return STATUS_SUCCESS;
}

template <typename T> T WdfFault(std::int64_t code) {
    return sim::FaultCodeOr<T>(code, static_cast<T>(STATUS_INSUFFICIENT_RESOURCES));
}

} // namespace

NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                  ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                  WDFKEY* Key) {
    (void)KeyAttributes;
    if (Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    if (auto fault = sim::CheckFault("WdfDeviceOpenRegistryKey")) {
        return WdfFault<NTSTATUS>(*fault);
    }
    if (Device == nullptr || !sim::wdf::IsLiveHandle(Device)) {
        return STATUS_INVALID_HANDLE;
    }
    if (DeviceInstanceKeyType != PLUGPLAY_REGKEY_DEVICE) {
        // Only the hardware key is part of this machine.
        return STATUS_INVALID_PARAMETER;
    }
    return OpenRoot(u"Device Parameters", DesiredAccess, Key);
}

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    (void)KeyAttributes;
    (void)Driver;
    if (Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    if (auto fault = sim::CheckFault("WdfDriverOpenParametersRegistryKey")) {
        return WdfFault<NTSTATUS>(*fault);
    }
    return OpenRoot(u"Parameters", DesiredAccess, Key);
}

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    (void)KeyAttributes;
    if (Key == nullptr || KeyName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    if (auto fault = sim::CheckFault("WdfRegistryOpenKey")) {
        return WdfFault<NTSTATUS>(*fault);
    }
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    OpenKey* parent = Lookup(tree, ParentKey);
    if (parent == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    NodePtr node = Find(parent->node, FromUnicode(KeyName));
    if (node == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *Key = Register(tree, node, DesiredAccess);
    return STATUS_SUCCESS;
}

void WdfRegistryClose(WDFKEY Key) {
    (void)sim::CheckFault("WdfRegistryClose");
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    tree.open.erase(Key);
}

HANDLE WdfRegistryWdmGetHandle(WDFKEY Key) {
    if (sim::CheckFault("WdfRegistryWdmGetHandle")) {
        return nullptr;
    }
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    return Lookup(tree, Key) != nullptr ? static_cast<HANDLE>(Key) : nullptr;
}

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                               PVOID Value, PULONG ValueLengthQueried, PULONG ValueType) {
    if (ValueLengthQueried != nullptr) {
        *ValueLengthQueried = 0;
    }
    if (ValueName == nullptr || (ValueLength != 0 && Value == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto fault = sim::CheckFault("WdfRegistryQueryValue")) {
        return WdfFault<NTSTATUS>(*fault);
    }
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    const StoredValue* found = nullptr;
    if (NTSTATUS status = FindValue(tree, Key, ValueName, &found); !NT_SUCCESS(status)) {
        return status;
    }
    const StoredValue& stored = *found;
    const auto length = static_cast<ULONG>(stored.data.size());
    if (ValueType != nullptr) {
        *ValueType = stored.type;
    }
    if (ValueLengthQueried != nullptr) {
        *ValueLengthQueried = length;
    }
    if (length > ValueLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (length != 0) {
        std::memcpy(Value, stored.data.data(), length);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
    if (ValueName == nullptr || Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto fault = sim::CheckFault("WdfRegistryQueryULong")) {
        return WdfFault<NTSTATUS>(*fault);
    }
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    const StoredValue* stored = nullptr;
    if (NTSTATUS status = FindValue(tree, Key, ValueName, &stored); !NT_SUCCESS(status)) {
        return status;
    }
    if (stored->type != REG_DWORD || stored->data.size() != sizeof(ULONG)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::memcpy(Value, stored->data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
    if (ValueName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto fault = sim::CheckFault("WdfRegistryAssignULong")) {
        return WdfFault<NTSTATUS>(*fault);
    }
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    OpenKey* key = nullptr;
    if (KeyCheck check = CheckKey(tree, Key, KEY_SET_VALUE, &key); check != KeyCheck::Ok) {
        return AsStatus(check);
    }
    std::u16string name = FromUnicode(ValueName);
    std::vector<std::uint8_t> data(sizeof(ULONG));
    std::memcpy(data.data(), &Value, sizeof(ULONG));
    auto& stored = key->node->values[name];
    if (stored.name.empty()) {
        stored.name = name;
    }
    stored.type = REG_DWORD;
    stored.data = std::move(data);
    return STATUS_SUCCESS;
}

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                         LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                         LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                         LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    (void)lpReserved;
    if (auto fault = sim::CheckFault("RegQueryInfoKeyW")) {
        return sim::FaultCodeOr<LSTATUS>(*fault, static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY));
    }
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    OpenKey* key = nullptr;
    if (KeyCheck check = CheckKey(tree, hKey, KEY_QUERY_VALUE, &key); check != KeyCheck::Ok) {
        return AsWin32(check);
    }
    const Node& node = *key->node;
    DWORD longestSubkey = 0;
    for (const auto& [name, child] : node.subkeys) {
        longestSubkey = std::max<DWORD>(longestSubkey, static_cast<DWORD>(name.size()));
    }
    DWORD longestValueName = 0;
    DWORD longestValue = 0;
    for (const auto& [name, value] : node.values) {
        longestValueName = std::max<DWORD>(longestValueName, static_cast<DWORD>(name.size()));
        longestValue = std::max<DWORD>(longestValue, static_cast<DWORD>(value.data.size()));
    }
    // Keys of this machine have no class.
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = 0;
    }
    if (lpcchClass != nullptr) {
        *lpcchClass = 0;
    }
    if (lpcSubKeys != nullptr) {
        *lpcSubKeys = static_cast<DWORD>(node.subkeys.size());
    }
    if (lpcbMaxSubKeyLen != nullptr) {
        *lpcbMaxSubKeyLen = longestSubkey;
    }
    if (lpcbMaxClassLen != nullptr) {
        *lpcbMaxClassLen = 0;
    }
    if (lpcValues != nullptr) {
        *lpcValues = static_cast<DWORD>(node.values.size());
    }
    if (lpcbMaxValueNameLen != nullptr) {
        *lpcbMaxValueNameLen = longestValueName;
    }
    if (lpcbMaxValueLen != nullptr) {
        *lpcbMaxValueLen = longestValue;
    }
    if (lpcbSecurityDescriptor != nullptr) {
        *lpcbSecurityDescriptor = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = FILETIME{0, 0};
    }
    return static_cast<LSTATUS>(ERROR_SUCCESS);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime) {
    (void)lpReserved;
    if (lpName == nullptr || lpcchName == nullptr) {
        return static_cast<LSTATUS>(ERROR_INVALID_PARAMETER);
    }
    if (auto fault = sim::CheckFault("RegEnumKeyExW")) {
        return sim::FaultCodeOr<LSTATUS>(*fault, static_cast<LSTATUS>(ERROR_NOT_ENOUGH_MEMORY));
    }
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    OpenKey* key = nullptr;
    if (KeyCheck check = CheckKey(tree, hKey, KEY_ENUMERATE_SUB_KEYS, &key);
        check != KeyCheck::Ok) {
        return AsWin32(check);
    }
    Node& node = *key->node;
    if (dwIndex >= node.subkeys.size()) {
        return static_cast<LSTATUS>(ERROR_NO_MORE_ITEMS);
    }
    const bool fromCursor =
        key->hasCursor && key->cursorChanged == node.subkeysChanged && key->cursorIndex <= dwIndex;
    key->cursor = fromCursor ? std::next(key->cursor, dwIndex - key->cursorIndex)
                             : std::next(node.subkeys.begin(), dwIndex);
    key->cursorIndex = dwIndex;
    key->cursorChanged = node.subkeysChanged;
    key->hasCursor = true;
    const std::u16string& name = key->cursor->second->name;
    if (name.size() + 1 > *lpcchName) {
        return static_cast<LSTATUS>(ERROR_MORE_DATA);
    }
    std::copy(name.begin(), name.end(), lpName);
    lpName[name.size()] = 0;
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = 0;
    }
    if (lpcchClass != nullptr) {
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = FILETIME{0, 0};
    }
    return static_cast<LSTATUS>(ERROR_SUCCESS);
}

namespace sim::registry {

void Reset() {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    tree.ResetLocked();
}

void CreateKey(std::string_view path) {
    CreateKey(std::u16string_view(Widen(path)));
}

void CreateKey(std::u16string_view path) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    FindOrCreate(tree.root, path);
}

bool DeleteKey(std::string_view path) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    auto parts = SplitPath(Widen(path));
    if (parts.empty()) {
        return false;
    }
    NodePtr parent = tree.root;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = parent->subkeys.find(parts[i]);
        if (it == parent->subkeys.end()) {
            return false;
        }
        parent = it->second;
    }
    ++parent->subkeysChanged;
    return parent->subkeys.erase(parts.back()) != 0;
}

bool KeyExists(std::string_view path) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    return Find(tree.root, Widen(path)) != nullptr;
}

std::vector<std::u16string> SubkeyNames(std::string_view path) {
    return SubkeyNames(std::u16string_view(Widen(path)));
}

std::vector<std::u16string> SubkeyNames(std::u16string_view path) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    std::vector<std::u16string> names;
    if (NodePtr node = Find(tree.root, path)) {
        for (const auto& [name, child] : node->subkeys) {
            names.push_back(child->name);
        }
    }
    return names;
}

std::vector<std::u16string> ValueNames(std::u16string_view path) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    std::vector<std::u16string> names;
    if (NodePtr node = Find(tree.root, path)) {
        for (const auto& [name, value] : node->values) {
            names.push_back(value.name);
        }
    }
    return names;
}

void SetValue(std::string_view path, std::u16string_view name, ULONG type,
              std::vector<std::uint8_t> data) {
    SetValue(std::u16string_view(Widen(path)), name, type, std::move(data));
}

void SetValue(std::u16string_view path, std::u16string_view name, ULONG type,
              std::vector<std::uint8_t> data) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    NodePtr node = FindOrCreate(tree.root, path);
    std::u16string key(name);
    auto& stored = node->values[key];
    if (stored.name.empty()) {
        stored.name = key;
    }
    stored.type = type;
    stored.data = std::move(data);
}

void SetDword(std::string_view path, std::u16string_view name, ULONG value) {
    std::vector<std::uint8_t> data(sizeof(ULONG));
    std::memcpy(data.data(), &value, sizeof(ULONG));
    SetValue(path, name, REG_DWORD, std::move(data));
}

void SetString(std::string_view path, std::u16string_view name, std::u16string_view text) {
    std::vector<std::uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    SetValue(path, name, REG_SZ, std::move(data));
}

void SetBinary(std::string_view path, std::u16string_view name, std::vector<std::uint8_t> data) {
    SetValue(path, name, REG_BINARY, std::move(data));
}

bool DeleteValue(std::string_view path, std::u16string_view name) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    NodePtr node = Find(tree.root, Widen(path));
    return node != nullptr && node->values.erase(std::u16string(name)) != 0;
}

std::optional<Value> GetValue(std::string_view path, std::u16string_view name) {
    return GetValue(std::u16string_view(Widen(path)), name);
}

std::optional<Value> GetValue(std::u16string_view path, std::u16string_view name) {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    NodePtr node = Find(tree.root, path);
    if (node == nullptr) {
        return std::nullopt;
    }
    auto it = node->values.find(std::u16string(name));
    if (it == node->values.end()) {
        return std::nullopt;
    }
    return Value{it->second.type, it->second.data};
}

std::size_t OpenKeyCount() {
    Tree& tree = TheTree();
    std::lock_guard guard(tree.lock);
    return tree.open.size();
}

} // namespace sim::registry
