// Texts for the system error codes that the command line reports.
#pragma once

#include "platform/win32.h"

#include <string>

namespace zv::cli {

// The system's text for a Win32 error code, followed by the code: "Access is denied. (error 5)".
std::string Win32ErrorText(DWORD code);

// The C library's text for an errno value, followed by the code:
// "No space left on device (errno 28)".
std::string ErrnoText(int code);

} // namespace zv::cli
