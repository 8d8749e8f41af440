// The far end of a serial line under test, for the conformance tests. The tests drive the near
// end through the Win32 calls only; a peer is whatever sits at the other end of the cable (a
// virtual line, the master of a pseudo-terminal pair, a loopback port on Windows).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace zv::test {

class Peer {
public:
    virtual ~Peer() = default;
    // The name that CreateFileA("\\\\.\\" + name) opens.
    virtual std::string PortName() const = 0;
    // Sends bytes to the near end.
    virtual void Send(std::string_view bytes) = 0;
    // Collects what the near end sent, until `count` bytes or the time-out.
    virtual std::string Receive(std::size_t count, std::chrono::milliseconds timeout) = 0;
};

struct PeerKind {
    std::string name;
    std::function<std::unique_ptr<Peer>()> make;
};

// GoogleTest shows a parameter by this: the peer's name instead of a dump of its bytes (which
// would also make the test names that ctest lists differ from run to run).
inline void PrintTo(const PeerKind& kind, std::ostream* out) {
    *out << kind.name;
}

// The peers this platform offers (POSIX: a virtual line and a pseudo-terminal pair).
std::vector<PeerKind> AvailablePeers();

} // namespace zv::test
