// Peers on POSIX: a virtual line, and the master side of a pseudo-terminal pair.
#include "platform/VirtualLine.h"
#include "platform/tests/Peer.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <unistd.h>

namespace zv::test {
namespace {

class VirtualPeer final : public Peer {
public:
    VirtualPeer() : line_(VirtualLine::Create("CONF" + std::to_string(++counter_))) {}
    std::string PortName() const override { return line_->Name(); }
    void Send(std::string_view bytes) override { line_->Write(bytes); }
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout) override {
        return line_->ReadString(count, timeout);
    }

private:
    static inline std::atomic<int> counter_{0};
    std::unique_ptr<VirtualLine> line_;
};

class PtyPeer final : public Peer {
public:
    PtyPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("ptsname");
        slave_ = name;
    }
    ~PtyPeer() override { ::close(master_); }
    std::string PortName() const override { return slave_; }
    void Send(std::string_view bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw std::runtime_error("write to pty master failed");
            done += static_cast<std::size_t>(n);
        }
    }
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout) override {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[4096];
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slave_;
};

} // namespace

std::vector<PeerKind> AvailablePeers() {
    return {
        {"Virtual", [] { return std::make_unique<VirtualPeer>(); }},
        {"Pty", [] { return std::make_unique<PtyPeer>(); }},
    };
}

} // namespace zv::test
