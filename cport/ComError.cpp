#include "cport/ComError.h"

#include <array>
#include <string_view>

namespace zv {

namespace {

constexpr std::array<std::string_view, CError_Last> ErrorMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

// A code outside the table still yields a readable message instead of reading past the table.
std::string MessageFor(std::int32_t code) {
    if (code < CError_First || code > CError_Last)
        return "Unknown com port error " + std::to_string(code);
    return std::string(ErrorMessages[static_cast<std::size_t>(code - 1)]);
}

} // namespace

std::string ComErrorText(std::int32_t code) {
    return MessageFor(code);
}

EComPort::EComPort(std::int32_t code, std::int32_t osCode)
    : Exception(MessageFor(code) + " (win error code: " + std::to_string(osCode) + ")"),
      FOsErrorCode(osCode), FErrorCode(code) {}

EComPort::EComPort(std::int32_t code)
    : Exception(MessageFor(code)), FOsErrorCode(NoOsError), FErrorCode(code) {}

} // namespace zv
