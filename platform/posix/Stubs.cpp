// Calls declared for later work: they fail cleanly with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/posix/Kernel.h"

using namespace zv::win32;

namespace {
BOOL NotImplemented() {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
} // namespace

LONG RegCreateKeyExA(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                     LPDWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
LONG RegSetValueExA(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
LONG RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
DWORD GetPrivateProfileStringA(LPCSTR, LPCSTR, LPCSTR, LPSTR lpReturnedString, DWORD nSize,
                               LPCSTR) {
    if (lpReturnedString != nullptr && nSize > 0)
        lpReturnedString[0] = '\0';
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}
BOOL WritePrivateProfileStringA(LPCSTR, LPCSTR, LPCSTR, LPCSTR) {
    return NotImplemented();
}
