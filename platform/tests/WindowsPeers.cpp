// Peers on Windows: the far end is the second port of a pair of COM ports (platform/tests/
// ComPair.h). Without the pair there is no peer, and the tests say so.
#include "platform/tests/ComPair.h"
#include "platform/tests/Peer.h"

namespace zv::test {
namespace {

class ComPairPeer final : public Peer {
public:
    std::string PortName() const override { return line_.Name(); }
    void Send(std::string_view bytes) override { line_.Write(bytes); }
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout) override {
        return line_.ReadString(count, timeout);
    }

private:
    ComPairLine line_;
};

} // namespace

std::vector<PeerKind> AvailablePeers() {
    if (!ComPairLine::Missing().empty())
        return {{"no_com_pair", [] { return std::unique_ptr<Peer>(); }}};
    return {{"com_pair", [] { return std::unique_ptr<Peer>(std::make_unique<ComPairPeer>()); }}};
}

} // namespace zv::test
