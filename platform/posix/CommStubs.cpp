// Placeholder comm driver and port list: every call fails with ERROR_CALL_NOT_IMPLEMENTED.
#include "platform/posix/Kernel.h"

using namespace zv::win32;

namespace {
BOOL NotImplemented() {
    return Fail(ERROR_CALL_NOT_IMPLEMENTED);
}
} // namespace

HANDLE zv::win32::OpenCommDevice(const char*, DWORD, DWORD) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return INVALID_HANDLE_VALUE;
}
BOOL SetupComm(HANDLE, DWORD, DWORD) {
    return NotImplemented();
}
BOOL GetCommState(HANDLE, LPDCB) {
    return NotImplemented();
}
BOOL SetCommState(HANDLE, LPDCB) {
    return NotImplemented();
}
BOOL GetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    return NotImplemented();
}
BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) {
    return NotImplemented();
}
BOOL GetCommMask(HANDLE, LPDWORD) {
    return NotImplemented();
}
BOOL SetCommMask(HANDLE, DWORD) {
    return NotImplemented();
}
BOOL WaitCommEvent(HANDLE, LPDWORD, LPOVERLAPPED) {
    return NotImplemented();
}
BOOL PurgeComm(HANDLE, DWORD) {
    return NotImplemented();
}
BOOL ClearCommError(HANDLE, LPDWORD, LPCOMSTAT) {
    return NotImplemented();
}
BOOL GetCommModemStatus(HANDLE, LPDWORD) {
    return NotImplemented();
}
BOOL EscapeCommFunction(HANDLE, DWORD) {
    return NotImplemented();
}
BOOL SetCommBreak(HANDLE) {
    return NotImplemented();
}
BOOL ClearCommBreak(HANDLE) {
    return NotImplemented();
}
BOOL TransmitCommChar(HANDLE, char) {
    return NotImplemented();
}
LONG RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
LONG RegEnumValueA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
LONG RegCloseKey(HKEY) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}
