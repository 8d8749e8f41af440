#include "toolkit/Registry.h"

#include <cstring>

namespace zv {
namespace {

std::string Relative(const std::string& key) {
    return !key.empty() && key.front() == '\\' ? key.substr(1) : key;
}

} // namespace

TRegistry::TRegistry() = default;

TRegistry::~TRegistry() {
    CloseKey();
}

void TRegistry::SetRootKey(HKEY Value) {
    CloseKey();
    FRootKey = Value;
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
    const std::string path = Relative(Key);
    HKEY key = nullptr;
    LONG r;
    if (CanCreate) {
        DWORD disposition = 0;
        r = RegCreateKeyExA(FRootKey, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, FAccess,
                            nullptr, &key, &disposition);
    } else {
        r = RegOpenKeyExA(FRootKey, path.c_str(), 0, FAccess, &key);
    }
    if (r != ERROR_SUCCESS)
        return false;
    CloseKey();
    FCurrentKey = key;
    FCurrentPath = path;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& Key) {
    const REGSAM saved = FAccess;
    FAccess = KEY_READ;
    const bool ok = OpenKey(Key, false);
    FAccess = saved;
    return ok;
}

bool TRegistry::KeyExists(const std::string& Key) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(FRootKey, Relative(Key).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void TRegistry::CloseKey() {
    if (FCurrentKey != nullptr) {
        RegCloseKey(FCurrentKey);
        FCurrentKey = nullptr;
        FCurrentPath.clear();
    }
}

bool TRegistry::Query(const std::string& Name, DWORD& Type, std::string& Data) const {
    DWORD size = 0;
    if (FCurrentKey == nullptr || RegQueryValueExA(FCurrentKey, Name.c_str(), nullptr, &Type,
                                                   nullptr, &size) != ERROR_SUCCESS)
        return false;
    // The value may grow between the two calls: ask again with the size it reports.
    for (int attempt = 0; attempt < 4; ++attempt) {
        Data.resize(size);
        DWORD got = size;
        LONG r = RegQueryValueExA(FCurrentKey, Name.c_str(), nullptr, &Type,
                                  reinterpret_cast<BYTE*>(Data.data()), &got);
        if (r == ERROR_SUCCESS) {
            Data.resize(got);
            return true;
        }
        if (r != ERROR_MORE_DATA)
            return false;
        size = got;
    }
    return false;
}

bool TRegistry::ValueExists(const std::string& Name) const {
    DWORD type = 0;
    std::string data;
    return Query(Name, type, data);
}

std::string TRegistry::ReadString(const std::string& Name) const {
    DWORD type = REG_NONE;
    std::string data;
    if (!Query(Name, type, data))
        return {};
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw ERegistryException("Invalid data type for '" + Name + "'");
    // The text ends at its terminating zero (or at the end of the data, when it has none).
    return std::string(data.c_str());
}

std::int32_t TRegistry::ReadInteger(const std::string& Name) const {
    DWORD type = REG_NONE;
    std::string data;
    if (!Query(Name, type, data))
        throw ERegistryException("Failed to get data for '" + Name + "'");
    if (type != REG_DWORD || data.size() != 4)
        throw ERegistryException("Invalid data type for '" + Name + "'");
    std::int32_t value = 0;
    std::memcpy(&value, data.data(), 4);
    return value;
}

void TRegistry::Write(const std::string& Name, DWORD Type, const void* Data, DWORD Size) {
    LONG r = FCurrentKey == nullptr ? ERROR_INVALID_HANDLE
                                    : RegSetValueExA(FCurrentKey, Name.c_str(), 0, Type,
                                                     static_cast<const BYTE*>(Data), Size);
    if (r != ERROR_SUCCESS)
        throw ERegistryException("Failed to set data for '" + Name +
                                 "' (win error code: " + std::to_string(r) + ")");
}

void TRegistry::WriteString(const std::string& Name, const std::string& Value) {
    Write(Name, REG_SZ, Value.c_str(), static_cast<DWORD>(Value.size() + 1));
}

void TRegistry::WriteInteger(const std::string& Name, std::int32_t Value) {
    Write(Name, REG_DWORD, &Value, sizeof Value);
}

} // namespace zv
