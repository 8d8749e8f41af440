// The file-backed registry store: every key that is not synthesised (the SERIALCOMM port list in
// PortList.cpp) lives here. PortList.cpp's RegOpenKeyExA, RegEnumValueA and RegCloseKey hand
// everything that is not theirs to these.
#pragma once

#include "platform/win32.h"

#include <string>
#include <string_view>

namespace zv::win32 {

LONG OpenStoreKey(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult);
// ERROR_INVALID_HANDLE when hKey is not a key of the store.
LONG EnumStoreValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG CloseStoreKey(HKEY hKey);

// The text of a stored value line and back (file format of the store; exposed for tests and the
// fuzz target). Decoding fails on anything this encoder would not have written.
std::string EncodeRegistryValue(DWORD type, std::string_view data);
bool DecodeRegistryValue(std::string_view text, DWORD& type, std::string& data);
// Key and value names in the store's files: bytes that the file's syntax uses, blanks and
// non-ASCII bytes as %XX; the unnamed value is "@".
std::string EncodeRegistryName(std::string_view name);
bool DecodeRegistryName(std::string_view text, std::string& name);

} // namespace zv::win32
