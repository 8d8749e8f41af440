// Texts for the system error codes that the command line reports.
#pragma once

#include "platform/win32.h"

#include <string>
#include <system_error>

namespace zv::cli {

// The system's text for a Win32 error code, followed by the code: "Access is denied. (error 5)".
std::string Win32ErrorText(DWORD code);

// The C library's text for an errno value, followed by the code:
// "No space left on device (errno 28)".
std::string ErrnoText(int code);

// The text of an error the standard library reported (std::filesystem): ErrnoText for an errno
// value, Win32ErrorText for a system code of Windows.
std::string ErrorCodeText(const std::error_code& error);

} // namespace zv::cli
