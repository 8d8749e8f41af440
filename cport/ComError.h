// EComPort: the one exception type of the port component.
//
// Every failure of the component carries its own error code (an index into a fixed message
// table) and, when the failure comes from an operating system call, the system's last-error code
// read right after that call.
#pragma once

#include "platform/win32.h"
#include "toolkit/Exception.h"

#include <cstdint>
#include <string>

namespace zv {

// The component's error codes, 1-based indices into the message table.
inline constexpr std::int32_t CError_OpenFailed = 1;         // "Unable to open com port"
inline constexpr std::int32_t CError_WriteFailed = 2;        // "WriteFile function failed"
inline constexpr std::int32_t CError_ReadFailed = 3;         // "ReadFile function failed"
inline constexpr std::int32_t CError_InvalidAsync = 4;       // "Invalid Async parameter"
inline constexpr std::int32_t CError_PurgeFailed = 5;        // "PurgeComm function failed"
inline constexpr std::int32_t CError_AsyncStatusFailed = 6;  // "Unable to get async status"
inline constexpr std::int32_t CError_SetStateFailed = 7;     // "SetCommState function failed"
inline constexpr std::int32_t CError_TimeoutsFailed = 8;     // "SetCommTimeouts failed"
inline constexpr std::int32_t CError_SetupCommFailed = 9;    // "SetupComm function failed"
inline constexpr std::int32_t CError_ClearCommFailed = 10;   // "ClearCommError function failed"
inline constexpr std::int32_t CError_ModemStatusFailed = 11; // "GetCommModemStatus function failed"
inline constexpr std::int32_t CError_EscapeCommFailed = 12;  // "EscapeCommFunction function failed"
inline constexpr std::int32_t CError_TransmitCharFailed = 13; // "TransmitCommChar function failed"
inline constexpr std::int32_t CError_SetWhileConnected =
    14;                                                    // "Cannot set property while connected"
inline constexpr std::int32_t CError_EnumPortsFailed = 15; // "EnumPorts function failed"
inline constexpr std::int32_t CError_StoreFailed = 16;     // "Failed to store settings"
inline constexpr std::int32_t CError_LoadFailed = 17;      // "Failed to load settings"
inline constexpr std::int32_t CError_LinkRegFailed = 18;   // "Link (un)registration failed"
inline constexpr std::int32_t CError_LedStateFailed =
    19; // "Cannot change led state if ComPort is selected"
inline constexpr std::int32_t CError_WaitWithThread =
    20; // "Cannot wait for event if event thread is created"
inline constexpr std::int32_t CError_WaitEventFailed = 21; // "WaitForEvent method failed"
inline constexpr std::int32_t CError_RxBufLinked = 22; // "A component is linked to OnRxBuf event"
inline constexpr std::int32_t CError_RegistryFailed = 23; // "Registry error"

inline constexpr std::int32_t CError_First = CError_OpenFailed;
inline constexpr std::int32_t CError_Last = CError_RegistryFailed;

// OsErrorCode of an error that does not come from an operating system call.
inline constexpr std::int32_t NoOsError = -1;

// The table text of an error code; a code outside 1..23 reads "Unknown com port error N".
std::string ComErrorText(std::int32_t code);

// The last-error code of the system call that just failed, as EComPort carries it. Read it right
// after the call, before anything else can change it.
inline std::int32_t LastOsError() noexcept {
    return static_cast<std::int32_t>(GetLastError());
}

// True for the system codes with which a device that has gone away (a USB adapter pulled out)
// refuses calls.
inline bool DeviceGone(std::int32_t osError) noexcept {
    return osError == ERROR_DEVICE_NOT_CONNECTED || osError == ERROR_DEVICE_REMOVED ||
           osError == ERROR_BAD_COMMAND;
}

class EComPort : public Exception {
public:
    // An operating system call failed: the table text followed by " (win error code: N)".
    EComPort(std::int32_t code, std::int32_t osCode);
    // A failure of the component itself: the table text alone; OsErrorCode is -1.
    explicit EComPort(std::int32_t code);

    std::int32_t OsErrorCode() const noexcept { return FOsErrorCode; }
    std::int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    std::int32_t FOsErrorCode;
    std::int32_t FErrorCode;
};

// True when reading the modem lines failed because the device has none (a pseudo-terminal):
// drivers say so with either code (Wine over a pseudo-terminal: ERROR_NOT_SUPPORTED). Such a
// device has no line states to report; that is no failure of the port.
inline bool NoModemLines(const EComPort& e) noexcept {
    return e.ErrorCode() == CError_ModemStatusFailed &&
           (e.OsErrorCode() == ERROR_INVALID_FUNCTION || e.OsErrorCode() == ERROR_NOT_SUPPORTED);
}

} // namespace zv
