// The read-only registry key that lists the serial ports present:
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM.
//
// On Linux the key is synthesised when it is opened, from the tty devices that have a device
// behind them in sysfs (/sys/class/tty/NAME/device), leaving out the ttyS placeholders whose
// UART type is 0 (no UART), plus the virtual lines that are registered and plugged in. Nothing
// is opened: opening a tty pulses DTR, which resets a board that hangs on it.
//
// Each value: name = the device ("/dev/ttyUSB0", or "\Device\VirtualSerial\SIM"), data (REG_SZ) =
// the port name that CreateFileA("\\.\NAME") opens ("ttyUSB0"; "COM1" for /dev/ttyS0; "SIM").
#include "platform/posix/CommBackend.h"
#include "platform/posix/Kernel.h"
#include "platform/posix/RegistryStore.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace zv::win32 {
namespace {

constexpr char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct KeySnapshot {
    std::vector<std::pair<std::string, std::string>> values; // name, data
};

struct KeyTable {
    std::mutex mutex;
    std::map<std::uintptr_t, KeySnapshot> keys;
    std::uintptr_t next = 1;
};

KeyTable& Keys() {
    static auto* table = new KeyTable;
    return *table;
}

bool EqualsIgnoreCase(const char* a, const char* b) {
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a, -1, b, -1) == CSTR_EQUAL;
}

std::string SysClassTty() {
    // Tests may point this at a tree of their own.
    const char* root = std::getenv("ZELVATOR_SYS_CLASS_TTY");
    return root != nullptr && *root != '\0' ? root : "/sys/class/tty";
}

// ttyS<n> is COM<n+1>, the name a Win32 user knows; everything else keeps its own name. Empty
// for a ttyS name whose number is too large to be a COM port number: it is left out.
std::string PortNameForTty(const std::string& tty) {
    if (tty.size() > 4 && tty.compare(0, 4, "ttyS") == 0 &&
        std::all_of(tty.begin() + 4, tty.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::uint32_t n = 0;
        const char* last = tty.data() + tty.size();
        const auto [end, error] = std::from_chars(tty.data() + 4, last, n);
        if (error != std::errc{} || end != last || n == UINT32_MAX)
            return {};
        return "COM" + std::to_string(n + 1);
    }
    return tty;
}

std::vector<std::string> PresentTtys() {
    std::vector<std::string> names;
    const std::string root = SysClassTty();
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr)
        return names;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::stat((root + "/" + name + "/device").c_str(), &st) != 0)
            continue; // virtual consoles, ptys: no device behind them
        if (name.compare(0, 4, "ttyS") == 0) {
            std::ifstream type(root + "/" + name + "/type");
            int t = 0;
            if (!(type >> t) || t == 0)
                continue; // a placeholder without a UART
        }
        names.push_back(std::move(name));
    }
    ::closedir(dir);
    // Natural order for the usual names: ttyS2 before ttyS10.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

KeySnapshot TakeSnapshot() {
    KeySnapshot s;
    for (const std::string& tty : PresentTtys()) {
        std::string port = PortNameForTty(tty);
        if (!port.empty())
            s.values.emplace_back("/dev/" + tty, std::move(port));
    }
    for (const std::string& name : VirtualLineNames())
        s.values.emplace_back("\\Device\\VirtualSerial\\" + name, name);
    return s;
}

} // namespace
} // namespace zv::win32

using namespace zv::win32;

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (hKey != HKEY_LOCAL_MACHINE || lpSubKey == nullptr ||
        !EqualsIgnoreCase(lpSubKey, kSerialCommKey))
        return OpenStoreKey(hKey, lpSubKey, samDesired, phkResult); // the stored keys
    if (samDesired & (KEY_SET_VALUE | KEY_CREATE_SUB_KEY))
        return ERROR_ACCESS_DENIED; // the device map is read-only
    // A C function: nothing may escape it, whatever the file system holds.
    try {
        KeySnapshot snapshot = TakeSnapshot();
        KeyTable& t = Keys();
        std::lock_guard lock(t.mutex);
        std::uintptr_t id = t.next++ * 4 + 0x10000;
        t.keys.emplace(id, std::move(snapshot));
        *phkResult = reinterpret_cast<HKEY>(id);
        return ERROR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        return ERROR_GEN_FAILURE;
    }
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    KeyTable& t = Keys();
    std::lock_guard lock(t.mutex);
    auto it = t.keys.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == t.keys.end())
        return EnumStoreValue(hKey, dwIndex, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
    const auto& values = it->second.values;
    if (dwIndex >= values.size())
        return ERROR_NO_MORE_ITEMS;
    const auto& [name, data] = values[dwIndex];
    // The name buffer counts characters including the terminating zero.
    if (name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType != nullptr)
        *lpType = REG_SZ;
    const DWORD need = static_cast<DWORD>(data.size() + 1); // REG_SZ data keeps its zero
    if (lpcbData != nullptr) {
        if (lpData != nullptr && *lpcbData < need) {
            *lpcbData = need;
            return ERROR_MORE_DATA;
        }
        if (lpData != nullptr)
            std::memcpy(lpData, data.c_str(), need);
        *lpcbData = need;
    }
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER || hKey == HKEY_CLASSES_ROOT ||
        hKey == HKEY_USERS)
        return ERROR_SUCCESS;
    KeyTable& t = Keys();
    std::lock_guard lock(t.mutex);
    return t.keys.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 1 ? ERROR_SUCCESS
                                                                     : CloseStoreKey(hKey);
}
