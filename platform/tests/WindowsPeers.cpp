// Peers on Windows: the far end is the second port of a pair of COM ports joined by a cable
// (or a null-modem emulator), named by ZELVATOR_TEST_PORT_A (the near end under test) and
// ZELVATOR_TEST_PORT_B (the far end). Without them there is no peer, and the tests say so.
#include "platform/tests/Peer.h"
#include "platform/win32.h"

#include <cstdlib>
#include <stdexcept>

namespace zv::test {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

class ComPairPeer final : public Peer {
public:
    ComPairPeer() : near_(Env("ZELVATOR_TEST_PORT_A")) {
        const std::string path = "\\\\.\\" + Env("ZELVATOR_TEST_PORT_B");
        far_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        if (far_ == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open the far port " + path +
                                     " (win error code: " + std::to_string(GetLastError()) + ")");
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(far_, &dcb);
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(far_, &dcb);
        PurgeComm(far_, PURGE_RXCLEAR | PURGE_TXCLEAR);
        // Bytes an earlier test left on the line would reach this one: a cable drops them when
        // a port closes, a pseudo-terminal pair (Wine) keeps them.
        HANDLE nearEnd = CreateFileA(("\\\\.\\" + near_).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
        if (nearEnd != INVALID_HANDLE_VALUE) {
            PurgeComm(nearEnd, PURGE_RXCLEAR | PURGE_TXCLEAR);
            CloseHandle(nearEnd);
        }
    }
    ~ComPairPeer() override { CloseHandle(far_); }

    std::string PortName() const override { return near_; }
    void Send(std::string_view bytes) override {
        DWORD written = 0;
        if (!WriteFile(far_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size())
            throw std::runtime_error("write to the far port failed");
    }
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout) override {
        COMMTIMEOUTS t{MAXDWORD, MAXDWORD, static_cast<DWORD>(timeout.count()), 0, 0};
        SetCommTimeouts(far_, &t);
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
            char buf[4096];
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min(sizeof buf, count - out.size()));
            if (!ReadFile(far_, buf, want, &got, nullptr))
                break;
            out.append(buf, got);
        }
        return out;
    }

private:
    std::string near_;
    HANDLE far_ = INVALID_HANDLE_VALUE;
};

} // namespace

std::vector<PeerKind> AvailablePeers() {
    if (Env("ZELVATOR_TEST_PORT_A").empty() || Env("ZELVATOR_TEST_PORT_B").empty())
        return {{"no_com_pair", [] { return std::unique_ptr<Peer>(); }}};
    return {{"com_pair", [] { return std::unique_ptr<Peer>(std::make_unique<ComPairPeer>()); }}};
}

} // namespace zv::test
