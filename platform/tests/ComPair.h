// A pair of COM ports joined by a null-modem cable (or an emulator of one) for the tests on
// Windows: ZELVATOR_TEST_PORT_A is the port under test, ZELVATOR_TEST_PORT_B its far end, which
// this class holds open. Without the two names the tests that need the pair skip with the reason
// (Missing). Header-only, for the platform's and the port's tests alike.
#pragma once

#ifdef _WIN32

#include "platform/win32.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zv::test {

// The far end. A cable carries bytes as a line does, so this offers the data half of what a
// virtual line's far end does; the tests of modem lines, line errors and unplugging need the
// virtual line (POSIX).
class ComPairLine {
public:
    // Why the pair cannot be used, or "" when it is configured.
    static std::string Missing() {
        if (Env("ZELVATOR_TEST_PORT_A").empty() || Env("ZELVATOR_TEST_PORT_B").empty())
            return "no pair of COM ports to test on: set ZELVATOR_TEST_PORT_A and "
                   "ZELVATOR_TEST_PORT_B to two ports joined by a null-modem cable";
        return "";
    }

    ComPairLine() : FNear(Env("ZELVATOR_TEST_PORT_A")) {
        FFar = OpenPort(Env("ZELVATOR_TEST_PORT_B"));
        if (FFar == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open the far port " + Env("ZELVATOR_TEST_PORT_B") +
                                     " (win error code: " + std::to_string(GetLastError()) + ")");
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(FFar, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(FFar, &dcb);
        // Bytes an earlier test left on the line would reach this one: a cable drops them when a
        // port closes, a pseudo-terminal pair (as under Wine) keeps them.
        PurgeComm(FFar, PURGE_RXCLEAR | PURGE_TXCLEAR);
        HANDLE nearEnd = OpenPort(FNear);
        if (nearEnd != INVALID_HANDLE_VALUE) {
            PurgeComm(nearEnd, PURGE_RXCLEAR | PURGE_TXCLEAR);
            CloseHandle(nearEnd);
        }
    }
    ~ComPairLine() { CloseHandle(FFar); }
    ComPairLine(const ComPairLine&) = delete;
    ComPairLine& operator=(const ComPairLine&) = delete;

    const std::string& Name() const { return FNear; }

    void Write(std::string_view bytes) {
        DWORD written = 0;
        if (!WriteFile(FFar, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size())
            throw std::runtime_error("write to the far port failed (win error code: " +
                                     std::to_string(GetLastError()) + ")");
    }
    // Reads until `count` bytes came or `timeout` passed.
    std::string ReadString(std::size_t count, std::chrono::milliseconds timeout) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            if (Available() == 0) {
                Sleep(1);
                continue;
            }
            char buffer[4096];
            DWORD got = 0;
            const DWORD want =
                static_cast<DWORD>(std::min({sizeof buffer, count - out.size(), Available()}));
            if (!ReadFile(FFar, buffer, want, &got, nullptr))
                break;
            out.append(buffer, got);
        }
        return out;
    }
    // Bytes the near end sent that the far end has not read.
    std::size_t Available() const {
        COMSTAT status{};
        DWORD errors = 0;
        return ClearCommError(FFar, &errors, &status) ? status.cbInQue : 0;
    }
    // A line between two ports takes the time of its speed by itself.
    void SetPacing(bool) {}

private:
    static std::string Env(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    }
    static HANDLE OpenPort(const std::string& name) {
        return CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    }

    std::string FNear;
    HANDLE FFar = INVALID_HANDLE_VALUE;
};

} // namespace zv::test

#endif // _WIN32
