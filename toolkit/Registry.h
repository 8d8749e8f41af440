// TRegistry: one open key at a time, through the Win32 registry functions.
#pragma once

#include "platform/win32.h"
#include "toolkit/Exception.h"
#include "toolkit/Object.h"

#include <cstdint>
#include <string>

namespace zv {

// A registry value could not be read or written; the message names the value.
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

class TRegistry : public TObject {
public:
    // Root HKEY_CURRENT_USER, access KEY_ALL_ACCESS, no key open.
    TRegistry();
    // Closes the current key.
    ~TRegistry() override;

    HKEY RootKey() const noexcept { return FRootKey; }
    // Switches the root; closes any open key.
    void SetRootKey(HKEY Value);
    REGSAM Access() const noexcept { return FAccess; }
    void SetAccess(REGSAM Value) noexcept { FAccess = Value; }
    // The open key (nullptr when none) and its path from the root.
    HKEY CurrentKey() const noexcept { return FCurrentKey; }
    const std::string& CurrentPath() const noexcept { return FCurrentPath; }

    // Opens Key relative to the root (a leading backslash is ignored), creating missing keys when
    // CanCreate. On success the key becomes the current key (the previous one is closed); on
    // failure nothing changes. Returns the success.
    bool OpenKey(const std::string& Key, bool CanCreate);
    // As OpenKey without creating, with KEY_READ access.
    bool OpenKeyReadOnly(const std::string& Key);
    bool KeyExists(const std::string& Key);
    void CloseKey();

    bool ValueExists(const std::string& Name) const;
    // Empty text when the value is absent or empty; ERegistryException when it exists with a type
    // other than REG_SZ or REG_EXPAND_SZ.
    std::string ReadString(const std::string& Name) const;
    // ERegistryException when the value is absent or not a REG_DWORD.
    std::int32_t ReadInteger(const std::string& Name) const;
    bool ReadBool(const std::string& Name) const { return ReadInteger(Name) != 0; }
    // REG_SZ with its terminating zero / REG_DWORD; ERegistryException on failure.
    void WriteString(const std::string& Name, const std::string& Value);
    void WriteInteger(const std::string& Name, std::int32_t Value);
    void WriteBool(const std::string& Name, bool Value) { WriteInteger(Name, Value ? 1 : 0); }

private:
    // The value's type and data; false when it cannot be read.
    bool Query(const std::string& Name, DWORD& Type, std::string& Data) const;
    void Write(const std::string& Name, DWORD Type, const void* Data, DWORD Size);

    HKEY FRootKey = HKEY_CURRENT_USER;
    REGSAM FAccess = KEY_ALL_ACCESS;
    HKEY FCurrentKey = nullptr;
    std::string FCurrentPath;
};

} // namespace zv
