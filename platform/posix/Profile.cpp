// The Win32 profile functions on initialisation files (see IniText.h for how lines read).
//
// A relative file name is taken relative to the configuration directory (StoreFile.h), which a
// first write creates. Reads take no lock: a file is only ever replaced whole. Writes go through
// UpdateStoreFile: locked, written beside the old file, flushed and renamed over it.
#include "platform/posix/IniText.h"
#include "platform/posix/Kernel.h"
#include "platform/posix/StoreFile.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace zv::win32;

namespace {

// Copies a list of names as Win32 returns it: each name followed by a zero, one more zero at
// the end. When the buffer is too small the list is cut and still ends with two zeros; the
// result is then nSize - 2.
DWORD CopyList(const std::vector<std::string>& names, LPSTR out, DWORD nSize) {
    std::string all;
    for (const std::string& n : names) {
        all += n;
        all += '\0';
    }
    if (nSize < 2) {
        if (nSize == 1)
            out[0] = '\0';
        return 0;
    }
    if (all.size() + 1 <= nSize) {
        std::memcpy(out, all.data(), all.size());
        out[all.size()] = '\0';
        return static_cast<DWORD>(all.size());
    }
    std::memcpy(out, all.data(), nSize - 2);
    out[nSize - 2] = '\0';
    out[nSize - 1] = '\0';
    SetLastError(ERROR_MORE_DATA);
    return nSize - 2;
}

DWORD CopyText(const std::string& text, LPSTR out, DWORD nSize) {
    if (nSize == 0)
        return 0;
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(text.size(), nSize - 1));
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    if (n < text.size())
        SetLastError(ERROR_MORE_DATA);
    return n;
}

} // namespace

DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                               LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
    if (lpReturnedString == nullptr || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string content;
    const bool present = ReadStoreFile(ProfilePath(lpFileName), content);
    IniText ini(content);
    if (lpAppName == nullptr)
        return CopyList(ini.Sections(), lpReturnedString, nSize);
    if (lpKeyName == nullptr)
        return CopyList(ini.Keys(lpAppName), lpReturnedString, nSize);
    if (auto value = ini.Value(lpAppName, lpKeyName))
        return CopyText(*value, lpReturnedString, nSize);
    // Absent: the default, without its trailing blanks.
    std::string def = lpDefault != nullptr ? lpDefault : "";
    while (!def.empty() && (def.back() == ' ' || def.back() == '\t'))
        def.pop_back();
    SetLastError(present ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    DWORD n = CopyText(def, lpReturnedString, nSize);
    return n;
}

BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                LPCSTR lpFileName) {
    if (lpAppName == nullptr)
        return lpKeyName == nullptr && lpString == nullptr ? TRUE // "flush": nothing is cached
                                                           : Fail(ERROR_INVALID_PARAMETER);
    // Text that would not read back as written (a line break would even make new lines) is
    // refused rather than stored.
    if (!IniText::WritableSection(lpAppName) ||
        (lpKeyName != nullptr && !IniText::WritableKey(lpKeyName)) ||
        (lpString != nullptr && !IniText::WritableValue(lpString)))
        return Fail(ERROR_INVALID_PARAMETER);

    const std::string section = lpAppName;
    const std::string key = lpKeyName != nullptr ? lpKeyName : "";
    const std::string value = lpString != nullptr ? lpString : "";
    const bool removing = lpKeyName == nullptr || lpString == nullptr;
    const std::string path = ProfilePath(lpFileName);
    const bool relative = lpFileName == nullptr || lpFileName[0] != '/';
    DWORD r = UpdateStoreFile(path, relative, !removing, [&](std::string& content) {
        IniText ini(content);
        bool changed = lpKeyName == nullptr  ? ini.DeleteSection(section)
                       : lpString == nullptr ? ini.DeleteKey(section, key)
                                             : ini.Set(section, key, value);
        if (changed)
            content = ini.Content();
        return changed;
    });
    return r == ERROR_SUCCESS ? TRUE : Fail(static_cast<LONG>(r));
}
