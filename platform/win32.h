// The Win32 API subset the components are written against.
//
// On Windows this is <windows.h> and nothing else. On POSIX it declares our own implementation
// of exactly the subset the components call, with the same names, types, constants, return
// conventions and GetLastError codes, so that component code reads the same on both.
//
// POSIX implementation notes (what differs from a real Win32 system, by design):
// - Handles are opaque values from one process-wide table (events, comm devices, plain files).
// - WaitForSingleObject/WaitForMultipleObjects accept event handles only.
// - Comm devices: "\\.\NAME" opens a registered virtual line first (platform/VirtualLine.h),
//   then COMn -> /dev/ttyS(n-1), "/path" -> that path, anything else -> /dev/NAME.
// - The window-message calls (SendMessageA, InSendMessage, ReplyMessage, DefWindowProcA) live in
//   toolkit/MessageWindow.h; only their types are declared here.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else

#include <cstdint>

// Fixed-width Win32 types. DWORD is 32 bits on every Win32 ABI, so it is not `unsigned long`.
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPLONG = LONG*;
using PVOID = void*;
using HANDLE = void*;
using LPHANDLE = HANDLE*;
using LSTATUS = LONG;
using REGSAM = DWORD;
using LCID = DWORD;
struct HWND__;
using HWND = HWND__*;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// ---------------------------------------------------------------------------------------------
// Error codes (GetLastError, and the LONG results of the registry calls).

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG NO_ERROR = 0;
constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_ACCESS = 12;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_OUTOFMEMORY = 14;
constexpr LONG ERROR_NOT_READY = 21;
constexpr LONG ERROR_BAD_COMMAND = 22;
constexpr LONG ERROR_CRC = 23;
constexpr LONG ERROR_BAD_LENGTH = 24;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_SHARING_VIOLATION = 32;
constexpr LONG ERROR_LOCK_VIOLATION = 33;
constexpr LONG ERROR_HANDLE_EOF = 38;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_BAD_NETPATH = 53;
constexpr LONG ERROR_DEV_NOT_EXIST = 55;
constexpr LONG ERROR_BAD_NET_RESP = 58;
constexpr LONG ERROR_FILE_EXISTS = 80;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_BROKEN_PIPE = 109;
constexpr LONG ERROR_DISK_FULL = 112;
constexpr LONG ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr LONG ERROR_SEM_TIMEOUT = 121;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_BAD_ARGUMENTS = 160;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_BUSY = 170;
constexpr LONG ERROR_ALREADY_EXISTS = 183;
constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;
constexpr LONG ERROR_FILE_TOO_LARGE = 223;
constexpr LONG ERROR_NO_DATA = 232;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_DIRECTORY = 267;
constexpr LONG ERROR_ARITHMETIC_OVERFLOW = 534;
constexpr LONG ERROR_OPERATION_ABORTED = 995;
constexpr LONG ERROR_IO_INCOMPLETE = 996;
constexpr LONG ERROR_IO_PENDING = 997;
constexpr LONG ERROR_NOACCESS = 998;
constexpr LONG ERROR_BADKEY = 1010;
constexpr LONG ERROR_CANTOPEN = 1011;
constexpr LONG ERROR_CANTREAD = 1012;
constexpr LONG ERROR_CANTWRITE = 1013;
constexpr LONG ERROR_REGISTRY_CORRUPT = 1015;
constexpr LONG ERROR_KEY_DELETED = 1018;
constexpr LONG ERROR_IO_DEVICE = 1117;
constexpr LONG ERROR_COUNTER_TIMEOUT = 1121;
constexpr LONG ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr LONG ERROR_NOT_FOUND = 1168;
constexpr LONG ERROR_CONNECTION_REFUSED = 1225;
constexpr LONG ERROR_NETWORK_UNREACHABLE = 1231;
constexpr LONG ERROR_HOST_UNREACHABLE = 1232;
constexpr LONG ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr LONG ERROR_TIMEOUT = 1460;
constexpr LONG ERROR_DEVICE_REMOVED = 1617;

// ---------------------------------------------------------------------------------------------
// Records.

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// State of one overlapped operation. Internal holds the completion status (STATUS_PENDING while
// the operation runs, else the Win32 error code of its result), InternalHigh the byte count.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

constexpr ULONG_PTR STATUS_PENDING = 0x103;
#define HasOverlappedIoCompleted(lpOverlapped) ((lpOverlapped)->Internal != STATUS_PENDING)

// The device control block: 28 bytes, with the Win32 bit layout of the flag word.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;
static_assert(sizeof(DCB) == 28, "DCB must have the Win32 layout");

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;
static_assert(sizeof(COMSTAT) == 12, "COMSTAT must have the Win32 layout");

// ---------------------------------------------------------------------------------------------
// Constants of the communications API.

// Events of SetCommMask / WaitCommEvent.
constexpr DWORD EV_RXCHAR = 0x0001;
constexpr DWORD EV_RXFLAG = 0x0002;
constexpr DWORD EV_TXEMPTY = 0x0004;
constexpr DWORD EV_CTS = 0x0008;
constexpr DWORD EV_DSR = 0x0010;
constexpr DWORD EV_RLSD = 0x0020;
constexpr DWORD EV_BREAK = 0x0040;
constexpr DWORD EV_ERR = 0x0080;
constexpr DWORD EV_RING = 0x0100;
constexpr DWORD EV_PERR = 0x0200;
constexpr DWORD EV_RX80FULL = 0x0400;
constexpr DWORD EV_EVENT1 = 0x0800;
constexpr DWORD EV_EVENT2 = 0x1000;

// PurgeComm.
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Error flags of ClearCommError.
constexpr DWORD CE_RXOVER = 0x0001;
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;
constexpr DWORD CE_TXFULL = 0x0100;
constexpr DWORD CE_PTO = 0x0200;
constexpr DWORD CE_IOE = 0x0400;
constexpr DWORD CE_DNS = 0x0800;
constexpr DWORD CE_OOP = 0x1000;
constexpr DWORD CE_MODE = 0x8000;

// Modem status of GetCommModemStatus.
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction.
constexpr DWORD SETXOFF = 1;
constexpr DWORD SETXON = 2;
constexpr DWORD SETRTS = 3;
constexpr DWORD CLRRTS = 4;
constexpr DWORD SETDTR = 5;
constexpr DWORD CLRDTR = 6;
constexpr DWORD RESETDEV = 7;
constexpr DWORD SETBREAK = 8;
constexpr DWORD CLRBREAK = 9;

// DCB.fDtrControl and DCB.fRtsControl.
constexpr DWORD DTR_CONTROL_DISABLE = 0x00;
constexpr DWORD DTR_CONTROL_ENABLE = 0x01;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 0x02;
constexpr DWORD RTS_CONTROL_DISABLE = 0x00;
constexpr DWORD RTS_CONTROL_ENABLE = 0x01;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 0x02;
constexpr DWORD RTS_CONTROL_TOGGLE = 0x03;

// DCB.Parity and DCB.StopBits.
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

// DCB.BaudRate.
constexpr DWORD CBR_110 = 110;
constexpr DWORD CBR_300 = 300;
constexpr DWORD CBR_600 = 600;
constexpr DWORD CBR_1200 = 1200;
constexpr DWORD CBR_2400 = 2400;
constexpr DWORD CBR_4800 = 4800;
constexpr DWORD CBR_9600 = 9600;
constexpr DWORD CBR_14400 = 14400;
constexpr DWORD CBR_19200 = 19200;
constexpr DWORD CBR_38400 = 38400;
constexpr DWORD CBR_56000 = 56000;
constexpr DWORD CBR_57600 = 57600;
constexpr DWORD CBR_115200 = 115200;
constexpr DWORD CBR_128000 = 128000;
constexpr DWORD CBR_256000 = 256000;

// ---------------------------------------------------------------------------------------------
// Constants of files, waits and the registry.

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD FILE_SHARE_DELETE = 0x00000004;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
constexpr DWORD FILE_TYPE_UNKNOWN = 0x0000;
constexpr DWORD FILE_TYPE_DISK = 0x0001;
constexpr DWORD FILE_TYPE_CHAR = 0x0002;
constexpr DWORD FILE_TYPE_PIPE = 0x0003;

constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003u)))

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Text comparison (CompareStringA).
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr DWORD NORM_IGNORECASE = 0x00000001;
constexpr int CSTR_LESS_THAN = 1;
constexpr int CSTR_EQUAL = 2;
constexpr int CSTR_GREATER_THAN = 3;

// Window messages: the types only; the calls live in toolkit/MessageWindow.h.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_USER = 0x0400;

// ---------------------------------------------------------------------------------------------
// Functions.

// Errors and time.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
void Sleep(DWORD dwMilliseconds);
DWORD GetTickCount();
ULONGLONG GetTickCount64();

// Handles and kernel objects.
BOOL CloseHandle(HANDLE hObject);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                             DWORD dwMilliseconds);

// Files and devices.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                         LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL CancelIo(HANDLE hFile);
BOOL FlushFileBuffers(HANDLE hFile);
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
DWORD GetFileType(HANDLE hFile);

// Communications.
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);
BOOL TransmitCommChar(HANDLE hFile, char cChar);

// Registry. HKEY_LOCAL_MACHINE "HARDWARE\DEVICEMAP\SERIALCOMM" lists the serial ports present
// (value name: the device, data: the port name that CreateFileA("\\.\NAME") opens).
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);

// Registry storage and profile files. On POSIX the registry keys (all but SERIALCOMM) live in
// files under the configuration directory, "$XDG_CONFIG_HOME/zelvator" (else
// "~/.config/zelvator"), and a relative profile file name is taken relative to that directory.
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
DWORD GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                               LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);
BOOL WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                LPCSTR lpFileName);

// Text.
int CompareStringA(LCID Locale, DWORD dwCmpFlags, LPCSTR lpString1, int cchCount1, LPCSTR lpString2,
                   int cchCount2);
int lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);

#endif // _WIN32
