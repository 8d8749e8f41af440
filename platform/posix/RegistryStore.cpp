// The registry store: one text file per root under the configuration directory
// ("registry/HKEY_CURRENT_USER", ...), written the way initialisation files are (IniText.h,
// StoreFile.h): a section per key, named by its path from the root, and one line per value:
//
//   [Software\Lab\ComPort1]
//   Port=sz:COM1
//   Buffer.InputSize=dword:00000400
//   Blob=hex(3):00ff10
//
// A key exists when its section does or when a key below it does. Names are compared without
// ASCII case. A value line that does not decode, and a last line cut short, read as absent; every
// change is one locked read-modify-write of the root's file, so two programs storing into one
// root lose nothing.
#include "platform/posix/RegistryStore.h"

#include "platform/posix/IniText.h"
#include "platform/posix/Kernel.h"
#include "platform/posix/StoreFile.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace zv::win32 {
namespace {

constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

struct StoreKey {
    HKEY root = nullptr;
    std::vector<std::string> parts; // path from the root, one key name each
    REGSAM access = 0;
};

struct StoreKeys {
    std::mutex mutex;
    std::map<std::uintptr_t, StoreKey> keys;
    std::uintptr_t next = 1;
};

StoreKeys& Keys() {
    static auto* table = new StoreKeys;
    return *table;
}

const char* RootName(HKEY root) {
    if (root == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (root == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (root == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (root == HKEY_USERS)
        return "HKEY_USERS";
    return nullptr;
}

std::string RootFile(HKEY root) {
    return ConfigDirectory() + "/registry/" + RootName(root);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

// The key a handle names, or nothing: a predefined root or an open key of the store.
bool LookupKey(HKEY hKey, StoreKey& key) {
    if (RootName(hKey) != nullptr) {
        key = StoreKey{hKey, {}, KEY_ALL_ACCESS};
        return true;
    }
    StoreKeys& t = Keys();
    std::lock_guard lock(t.mutex);
    auto it = t.keys.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == t.keys.end())
        return false;
    key = it->second;
    return true;
}

HKEY InsertKey(StoreKey key) {
    StoreKeys& t = Keys();
    std::lock_guard lock(t.mutex);
    std::uintptr_t id = 0x10000000u + t.next++ * 4;
    t.keys.emplace(id, std::move(key));
    return reinterpret_cast<HKEY>(id);
}

// Appends the key names of subKey to parts. An empty name inside the path, or a name longer
// than Win32 allows, is refused; one trailing backslash is accepted.
LONG AppendPath(std::vector<std::string>& parts, LPCSTR subKey) {
    if (subKey == nullptr || subKey[0] == '\0')
        return ERROR_SUCCESS;
    std::string_view rest(subKey);
    if (rest.front() == '\\')
        return ERROR_BAD_PATHNAME;
    while (!rest.empty()) {
        std::size_t slash = rest.find('\\');
        std::string_view name = rest.substr(0, slash);
        if (name.empty())
            return ERROR_BAD_PATHNAME;
        if (name.size() > kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        parts.emplace_back(name);
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    return ERROR_SUCCESS;
}

std::string JoinPath(const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& p : parts) {
        if (!path.empty())
            path += '\\';
        path += p;
    }
    return path;
}

std::string SectionOf(const std::vector<std::string>& parts) {
    std::string section;
    for (const std::string& p : parts) {
        if (!section.empty())
            section += '\\';
        section += EncodeRegistryName(p);
    }
    return section;
}

IniText ReadRoot(HKEY root) {
    std::string content;
    ReadStoreFile(RootFile(root), content);
    return IniText(content, true);
}

bool KeyExists(const IniText& ini, const std::string& section) {
    if (section.empty())
        return true; // the root
    for (const std::string& s : ini.Sections())
        if (SameText(s, section) ||
            (s.size() > section.size() && s[section.size()] == '\\' &&
             SameText(std::string_view(s).substr(0, section.size()), section)))
            return true;
    return false;
}

bool IsSerialComm(HKEY root, const std::vector<std::string>& parts) {
    return root == HKEY_LOCAL_MACHINE && SameText(JoinPath(parts), kSerialCommKey);
}

// The decoded values of a key, in file order.
std::vector<std::pair<std::string, std::pair<DWORD, std::string>>> ValuesOf(const StoreKey& key) {
    std::vector<std::pair<std::string, std::pair<DWORD, std::string>>> values;
    IniText ini = ReadRoot(key.root);
    const std::string section = SectionOf(key.parts);
    for (const std::string& encoded : ini.Keys(section)) {
        std::string name;
        DWORD type = 0;
        std::string data;
        if (DecodeRegistryName(encoded, name) &&
            DecodeRegistryValue(ini.Value(section, encoded).value_or(""), type, data))
            values.push_back({name, {type, std::move(data)}});
    }
    return values;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool NeedsEscape(unsigned char c) {
    return c <= 0x20 || c >= 0x7F || std::strchr("%[]=;\"'@\\#", c) != nullptr;
}

std::string Escape(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c)) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

// Only the text Escape writes decodes: "%" with two upper-case hexadecimal digits of a byte that
// needs escaping, and every other byte as itself. So each name has one spelling in a file and a
// name that enumerates can also be looked up.
bool Unescape(std::string_view text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            const char hi = text[i + 1];
            const char lo = text[i + 2];
            if (HexDigit(hi) < 0 || HexDigit(lo) < 0 || (hi >= 'a' && hi <= 'f') ||
                (lo >= 'a' && lo <= 'f'))
                return false;
            const auto byte = static_cast<unsigned char>(HexDigit(hi) * 16 + HexDigit(lo));
            if (!NeedsEscape(byte))
                return false;
            out += static_cast<char>(byte);
            i += 2;
        } else if (NeedsEscape(c)) {
            return false;
        } else {
            out += static_cast<char>(c);
        }
    }
    return true;
}

} // namespace

std::string EncodeRegistryName(std::string_view name) {
    return name.empty() ? "@" : Escape(name);
}

bool DecodeRegistryName(std::string_view text, std::string& name) {
    if (text == "@") {
        name.clear();
        return true;
    }
    return !text.empty() && Unescape(text, name);
}

std::string EncodeRegistryValue(DWORD type, std::string_view data) {
    if (type == REG_SZ && !data.empty() && data.back() == '\0' &&
        data.find('\0') == data.size() - 1)
        return "sz:" + Escape(data.substr(0, data.size() - 1));
    if (type == REG_DWORD && data.size() == 4) {
        std::uint32_t v = 0;
        std::memcpy(&v, data.data(), 4);
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", v);
        return buf;
    }
    static const char digits[] = "0123456789abcdef";
    std::string out = "hex(" + std::to_string(type) + "):";
    for (char ch : data) {
        auto c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool DecodeRegistryValue(std::string_view text, DWORD& type, std::string& data) {
    data.clear();
    if (text.starts_with("sz:")) {
        if (!Unescape(text.substr(3), data) || data.find('\0') != std::string::npos)
            return false;
        data += '\0';
        type = REG_SZ;
        return true;
    }
    if (text.starts_with("dword:")) {
        std::string_view digits = text.substr(6);
        if (digits.size() != 8)
            return false;
        std::uint32_t v = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0)
                return false;
            v = v << 4 | static_cast<std::uint32_t>(d);
        }
        data.assign(4, '\0');
        std::memcpy(data.data(), &v, 4);
        type = REG_DWORD;
        return true;
    }
    if (text.starts_with("hex(")) {
        std::size_t close = text.find("):");
        if (close == std::string_view::npos || close == 4 || close > 14)
            return false;
        std::uint64_t t = 0;
        for (char c : text.substr(4, close - 4)) {
            if (c < '0' || c > '9')
                return false;
            t = t * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (t > 0xFFFFFFFFu)
            return false;
        std::string_view hex = text.substr(close + 2);
        if (hex.size() % 2 != 0)
            return false;
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            int hi = HexDigit(hex[i]);
            int lo = HexDigit(hex[i + 1]);
            if (hi < 0 || lo < 0)
                return false;
            data += static_cast<char>(hi * 16 + lo);
        }
        type = static_cast<DWORD>(t);
        return true;
    }
    return false;
}

LONG OpenStoreKey(HKEY hKey, LPCSTR lpSubKey, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    StoreKey key;
    if (!LookupKey(hKey, key))
        return ERROR_INVALID_HANDLE;
    if (LONG r = AppendPath(key.parts, lpSubKey); r != ERROR_SUCCESS)
        return r;
    if (!KeyExists(ReadRoot(key.root), SectionOf(key.parts)))
        return ERROR_FILE_NOT_FOUND;
    key.access = samDesired;
    *phkResult = InsertKey(std::move(key));
    return ERROR_SUCCESS;
}

LONG EnumStoreValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                    LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    StoreKey key;
    if (!LookupKey(hKey, key))
        return ERROR_INVALID_HANDLE;
    auto values = ValuesOf(key);
    if (dwIndex >= values.size())
        return ERROR_NO_MORE_ITEMS;
    const auto& [name, typed] = values[dwIndex];
    if (name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType != nullptr)
        *lpType = typed.first;
    const auto need = static_cast<DWORD>(typed.second.size());
    if (lpcbData != nullptr) {
        if (lpData != nullptr && *lpcbData < need) {
            *lpcbData = need;
            return ERROR_MORE_DATA;
        }
        if (lpData != nullptr)
            std::memcpy(lpData, typed.second.data(), need);
        *lpcbData = need;
    }
    return ERROR_SUCCESS;
}

LONG CloseStoreKey(HKEY hKey) {
    StoreKeys& t = Keys();
    std::lock_guard lock(t.mutex);
    return t.keys.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1 ? ERROR_SUCCESS
                                                                     : ERROR_INVALID_HANDLE;
}

} // namespace zv::win32

using namespace zv::win32;

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    StoreKey key;
    if (!LookupKey(hKey, key)) {
        // An open SERIALCOMM key or a stale handle: nothing can be created below it.
        return ERROR_INVALID_HANDLE;
    }
    if ((key.access & KEY_CREATE_SUB_KEY) == 0)
        return ERROR_ACCESS_DENIED;
    if (LONG r = AppendPath(key.parts, lpSubKey); r != ERROR_SUCCESS)
        return r;
    if (IsSerialComm(key.root, key.parts)) {
        // The synthesised port list opens as it is, read-only.
        if (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, samDesired, phkResult);
        if (r == ERROR_SUCCESS && lpdwDisposition != nullptr)
            *lpdwDisposition = REG_OPENED_EXISTING_KEY;
        return r;
    }
    const std::string section = SectionOf(key.parts);
    bool created = false;
    DWORD r = ERROR_SUCCESS;
    if (!KeyExists(ReadRoot(key.root), section)) {
        r = UpdateStoreFile(RootFile(key.root), true, true, [&](std::string& content) {
            IniText ini(content, true);
            if (KeyExists(ini, section))
                return false; // another writer was first
            created = true;
            ini.AddSection(section);
            content = ini.Content();
            return true;
        });
    }
    if (r != ERROR_SUCCESS)
        return static_cast<LONG>(r);
    if (lpdwDisposition != nullptr)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    key.access = samDesired;
    *phkResult = InsertKey(std::move(key));
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    StoreKey key;
    if (!LookupKey(hKey, key))
        return ERROR_INVALID_HANDLE;
    if ((key.access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (lpData == nullptr && cbData != 0)
        return ERROR_NOACCESS;
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    if (name.size() > kMaxValueNameLength || (dwType == REG_DWORD && cbData != 4))
        return ERROR_INVALID_PARAMETER;
    const std::string line = EncodeRegistryValue(
        dwType, std::string_view(reinterpret_cast<const char*>(lpData), cbData));
    if (line.size() > kMaxStoreFileSize / 4)
        return ERROR_INVALID_PARAMETER;
    const std::string section = SectionOf(key.parts);
    const std::string encodedName = EncodeRegistryName(name);
    DWORD r = UpdateStoreFile(RootFile(key.root), true, true, [&](std::string& content) {
        IniText ini(content, true);
        if (!ini.Set(section, encodedName, line))
            return false;
        content = ini.Content();
        return true;
    });
    return static_cast<LONG>(r);
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    StoreKey key;
    if (!LookupKey(hKey, key))
        return ERROR_INVALID_HANDLE;
    if ((key.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    const std::string name = lpValueName != nullptr ? lpValueName : "";
    IniText ini = ReadRoot(key.root);
    auto text = ini.Value(SectionOf(key.parts), EncodeRegistryName(name));
    DWORD type = 0;
    std::string data;
    if (!text || !DecodeRegistryValue(*text, type, data))
        return ERROR_FILE_NOT_FOUND;
    if (lpType != nullptr)
        *lpType = type;
    const auto need = static_cast<DWORD>(data.size());
    if (lpcbData != nullptr) {
        if (lpData != nullptr && *lpcbData < need) {
            *lpcbData = need;
            return ERROR_MORE_DATA;
        }
        if (lpData != nullptr)
            std::memcpy(lpData, data.data(), need);
        *lpcbData = need;
    }
    return ERROR_SUCCESS;
}
