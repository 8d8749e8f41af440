// The network backend: a serial port on a port server, reached over TCP with the telnet
// COM-PORT-OPTION protocol (RFC 2217). Port name: rfc2217://HOST:PORT.
//
// What the server reports and what it does not:
// - Speed and format are sent as requests and the server's answers are awaited (bounded): the
//   server answers with the value it applied to its device, and a setting it did not take fails
//   SetCommState (not the open, whose defaults the server may keep). Only settings that changed are
//   sent again. DTR/RTS, break and flow control are sent as requests without waiting (a server that
//   ignores one still moves data).
// - Modem lines arrive as NOTIFY-MODEMSTATE; each change counts a transition, so the driver
//   raises EV_CTS/EV_DSR/EV_RLSD/EV_RING as for a tty. Line errors arrive as NOTIFY-LINESTATE
//   and are marked on the data as a tty's are.
// - A write has left when the server's TCP stack has acknowledged every byte (the socket's
//   queue, SIOCOUTQ, is empty) and the server's line has had the time to send them at the set
//   speed, counted from when they went into the socket. The server reports no "line idle", so
//   this is an estimate: early by the network's latency, late by the server's flow control
//   holds. Without it a DTR change after a write would reach the server's line before the last
//   bytes (a download's run reset cutting off the program's end).
// - Bytes in the socket can no longer be taken back: a purge, a write's time-out, SETXOFF or a
//   close stop only what is still in the backlog. So the socket is handed only what the server's
//   line sends within a short window by the same estimate, refilled half a window at a time: the
//   server always has some left to send, and little goes out after a stop.
// - A closed or reset connection is an unplugged device.
#include "platform/posix/CommBackend.h"
#include "platform/posix/Kernel.h"
#include "platform/posix/TelnetReader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zv::win32 {
namespace {

using namespace telnet;

// COM-PORT-OPTION commands (client to server; the server answers with the value + 100).
enum : std::uint8_t {
    kSetBaudrate = 1,
    kSetDatasize = 2,
    kSetParity = 3,
    kSetStopsize = 4,
    kSetControl = 5,
    kNotifyLinestate = 6,
    kNotifyModemstate = 7,
    kFlowSuspend = 8,
    kFlowResume = 9,
    kSetLinestateMask = 10,
    kSetModemstateMask = 11,
    kPurgeData = 12,
    kServerOffset = 100,
};
// SET-CONTROL values.
enum : std::uint8_t {
    kFlowNone = 1,
    kFlowXonXoff = 2,
    kFlowHardware = 3,
    kBreakOn = 5,
    kBreakOff = 6,
    kDtrOn = 8,
    kDtrOff = 9,
    kRtsOn = 11,
    kRtsOff = 12,
    kInFlowNone = 14,
    kInFlowXonXoff = 15,
    kInFlowHardware = 16,
};
// Line state bits.
constexpr std::uint8_t kLsOverrun = 0x02, kLsParity = 0x04, kLsFrame = 0x08, kLsBreak = 0x10;
// Modem state bits.
constexpr std::uint8_t kMsCts = 0x10, kMsDsr = 0x20, kMsRing = 0x40, kMsDcd = 0x80;
constexpr std::uint8_t kMsDeltaCts = 0x01, kMsDeltaDsr = 0x02, kMsRingEdge = 0x04,
                       kMsDeltaDcd = 0x08;

constexpr auto kConnectTime = std::chrono::seconds(5);
constexpr auto kNegotiateTime = std::chrono::seconds(3);
constexpr auto kAnswerTime = std::chrono::seconds(3);
// Data bytes taken from the driver but not yet in the socket; more waits in the driver's write.
constexpr std::size_t kTxLimit = 16 * 1024;
// The server's line time the socket is handed ahead, and at least that many characters of it
// (at a slow speed, so that the network's pace does not leave the line idle).
constexpr auto kLineWindow = std::chrono::milliseconds(100);
constexpr std::size_t kLineWindowChars = 256;
// Data read while the driver does not take it (an opening, a settings answer awaited).
constexpr std::size_t kRxKeepLimit = 64 * 1024;

int PollFor(int fd, short events, Clock::time_point deadline) {
    pollfd p{fd, events, 0};
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0)
            return 0;
        int r = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (r < 0 && errno == EINTR)
            continue;
        return r < 0 ? -1 : p.revents;
    }
}

DWORD SocketError(int err) {
    switch (err) {
    case ECONNREFUSED:
        return ERROR_CONNECTION_REFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return ERROR_HOST_UNREACHABLE;
    case ENETUNREACH:
    case ENETDOWN:
        return ERROR_NETWORK_UNREACHABLE;
    case ETIMEDOUT:
        return ERROR_SEM_TIMEOUT;
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ErrnoToWin32(err);
    }
}

class Rfc2217Backend final : public CommBackend {
public:
    Rfc2217Backend(int fd, int kickFd) : fd_(fd), kickFd_(kickFd) {}
    ~Rfc2217Backend() override { Close(); }

    // Offers the options and waits, bounded, until the server agrees to COM-PORT-OPTION. A server
    // that refuses it or does not answer is no port server (ERROR_BAD_NET_RESP); one that closes
    // or resets the connection meanwhile is gone, as it would be later (a server busy with
    // another client may do so).
    DWORD Negotiate() {
        const std::uint8_t offer[] = {kIac,    kWill, kComPort, kIac, kWill, kBinary, kIac, kDo,
                                      kBinary, kIac,  kWill,    kSga, kIac,  kDo,     kSga};
        ctrl_.insert(ctrl_.end(), std::begin(offer), std::end(offer));
        sentWill_[kComPort] = sentWill_[kBinary] = sentWill_[kSga] = true;
        sentDo_[kBinary] = sentDo_[kSga] = true;
        const auto deadline = Clock::now() + kNegotiateTime;
        while (!comPort_) {
            if (DWORD e = FlushTx())
                return e;
            if (refused_)
                return ERROR_BAD_NET_RESP;
            const int ev = PollFor(fd_, POLLIN, deadline);
            if (ev == 0)
                return ERROR_BAD_NET_RESP; // silent, or not a port server
            if (ev < 0)
                return ErrnoToWin32(errno);
            DWORD error = 0;
            if (ReadSocket(error) < 0)
                return error;
            if (refused_)
                return ERROR_BAD_NET_RESP;
        }
        // Every line change and line error is wanted.
        SendSub(kSetModemstateMask, {0xFF});
        SendSub(kSetLinestateMask, {kLsOverrun | kLsParity | kLsFrame | kLsBreak});
        return FlushTx();
    }

    DWORD Configure(const DCB& dcb) override {
        // The four settings in the protocol's values: NOPARITY..SPACEPARITY are 0..4, the
        // protocol's NONE..SPACE are 1..5; stop bits 1, 2, 1.5 are 1, 2, 3.
        const std::uint32_t want[kSettings] = {dcb.BaudRate, dcb.ByteSize,
                                               static_cast<std::uint32_t>(dcb.Parity + 1),
                                               dcb.StopBits == TWOSTOPBITS    ? 2u
                                               : dcb.StopBits == ONE5STOPBITS ? 3u
                                                                              : 1u};
        bool asked[kSettings] = {};
        for (std::size_t i = 0; i < kSettings; ++i) {
            if (applied_[i] == want[i])
                continue;
            asked[i] = true;
            answer_[i].reset();
            const std::uint32_t v = want[i];
            if (i == 0)
                SendSub(kSetBaudrate,
                        {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                         static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
            else
                SendSub(static_cast<std::uint8_t>(kSetBaudrate + i),
                        {static_cast<std::uint8_t>(v)});
        }
        if (DWORD e = FlushAndKick())
            return e;
        if (DWORD e = AwaitAnswers(want, asked))
            return e;
        // Flow control changes only with settings the server took: a SetCommState that fails
        // leaves it as it was at both ends, as the driver keeps its previous DCB.
        const bool hwOut = dcb.fOutxCtsFlow != 0;
        SendSub(kSetControl, {hwOut ? kFlowHardware : dcb.fOutX ? kFlowXonXoff : kFlowNone});
        const bool hwIn = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        SendSub(kSetControl, {hwIn ? kInFlowHardware : dcb.fInX ? kInFlowXonXoff : kInFlowNone});
        ctsFlow_ = hwOut;
        charTime_ = CharacterTime(dcb);
        return FlushAndKick();
    }

    DWORD SetDtr(bool on) override { return Control(on ? kDtrOn : kDtrOff); }
    DWORD SetRts(bool on) override { return Control(on ? kRtsOn : kRtsOff); }
    DWORD SetBreak(bool on) override { return Control(on ? kBreakOn : kBreakOff); }

    DWORD SetTxHold(bool hold) override {
        localHold_ = hold;
        return ReleaseOrHold(hold);
    }

    DWORD GetModemStatus(DWORD& status) override {
        status = ((modem_ & kMsCts) ? MS_CTS_ON : 0) | ((modem_ & kMsDsr) ? MS_DSR_ON : 0) |
                 ((modem_ & kMsRing) ? MS_RING_ON : 0) | ((modem_ & kMsDcd) ? MS_RLSD_ON : 0);
        return 0;
    }

    bool ReadCounters(ModemCounters& counters) override {
        // The driver asks on every turn of its service loop, also when it has nothing to write:
        // the turn after the socket reported room is where a held-up command goes out, and the
        // turn at the line window's wake-up where the backlog it held goes.
        if (txWaiting_ || lineRoomAt_.load() != kNever)
            FlushTx();
        counters = counters_;
        return true;
    }

    DWORD HoldFlags() override {
        if (data_.size() == dataHead_)
            return 0;
        DWORD hold = 0;
        if (ctsFlow_ && !(modem_ & kMsCts))
            hold |= 1;
        if (localHold_ || serverHold_)
            hold |= 8;
        return hold;
    }

    DCB InitialDcb() override { return DefaultDcb(); }
    bool HasModemLines() const override { return true; }

    long Receive(std::uint8_t* data, std::size_t capacity, std::vector<RxMark>& marks,
                 DWORD& error) override {
        // Bytes decoded earlier (during the open, or by FlushInput's reading) come first.
        if (rxHead_ < rx_.size()) {
            const std::size_t n = std::min(capacity, rx_.size() - rxHead_);
            std::memcpy(data, rx_.data() + rxHead_, n);
            rxHead_ += n;
            if (rxHead_ == rx_.size()) {
                rx_.clear();
                rxHead_ = 0;
                if (rxLost_)
                    marks.push_back({n, RxMarkKind::RxOver});
                rxLost_ = false;
            }
            return static_cast<long>(n);
        }
        if (gone_) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        raw_.resize(capacity);
        ssize_t n;
        do {
            n = ::recv(fd_, raw_.data(), capacity, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (n <= 0) {
            gone_ = true;
            error = n == 0 ? static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED) : SocketError(errno);
            return -1;
        }
        commands_.clear();
        const std::size_t o =
            reader_.Feed(raw_.data(), static_cast<std::size_t>(n), data, commands_);
        for (const TelnetCommand& c : commands_)
            Handle(c, o, &marks);
        byteReceived_ = byteReceived_ || o > 0;
        if (pendingError_ && o > 0) {
            // A line error reported before any byte marks the next one.
            marks.push_back({0, *pendingError_});
            pendingError_.reset();
        }
        // A report marks the byte before it (parity, framing) or the place where it came (break,
        // overrun): the driver takes the marks in the order of their positions.
        std::stable_sort(marks.begin(), marks.end(),
                         [](const RxMark& a, const RxMark& b) { return a.pos < b.pos; });
        FlushAndKick();
        return static_cast<long>(o);
    }

    long Send(const std::uint8_t* data, std::size_t count, DWORD& error) override {
        if (gone_) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        const std::size_t queued = data_.size() - dataHead_;
        const std::size_t take = queued >= kTxLimit ? 0 : std::min(count, kTxLimit - queued);
        data_.insert(data_.end(), data, data + take);
        if (DWORD e = FlushTx()) {
            error = e;
            return -1;
        }
        return static_cast<long>(take);
    }

    DWORD SendUrgent(std::uint8_t byte) override {
        // Ahead of the data not yet in the socket.
        data_.insert(data_.begin() + static_cast<long>(dataHead_), byte);
        ++urgent_; // not held back by the line window
        return FlushAndKick();
    }

    // Bytes not yet in the socket, bytes the server has not acknowledged, and the bytes the
    // server's line is still sending by our estimate (each byte one character time from when it
    // went into the socket, one after another).
    std::size_t OutQueue() override {
        FlushTx();
        return Queued();
    }

    // OutQueue() as it stands, without handing the socket more.
    std::size_t Queued() {
        int unacked = 0;
        if (::ioctl(fd_, SIOCOUTQ, &unacked) != 0)
            unacked = 0;
        networkQueued_ =
            (data_.size() - dataHead_) + (unacked > 0 ? static_cast<std::size_t>(unacked) : 0);
        const auto left = lineFreeAt_ - Clock::now();
        std::size_t onLine = 0;
        if (left > Clock::duration::zero() && charTime_.count() > 0)
            onLine = static_cast<std::size_t>((left + charTime_ - std::chrono::nanoseconds(1)) /
                                              charTime_);
        return networkQueued_ + onLine;
    }

    // Nothing is through before the server's line has sent what the socket took. Bytes still in
    // the socket or the backlog are looked at again soon after (the socket's queue empties at the
    // network's pace, and the driver backs off while it does not move); the backlog the line
    // window holds goes out when this backend wakes itself for it (Wait).
    std::chrono::nanoseconds OutQueueTime(const DCB&, std::size_t) override {
        return std::max(std::chrono::nanoseconds(lineFreeAt_ - Clock::now()),
                        std::chrono::nanoseconds(networkQueued_ > 0
                                                     ? std::chrono::microseconds(1000)
                                                     : std::chrono::microseconds(200)));
    }

    void FlushInput() override {
        // What the socket holds now is old input: read it, keeping the commands.
        rx_.clear();
        rxHead_ = 0;
        rxLost_ = false;
        SendSub(kPurgeData, {1});
        std::vector<RxMark> ignored;
        std::vector<std::uint8_t> sink(4096);
        for (int i = 0; i < 64 && !gone_; ++i) {
            DWORD error = 0;
            if (Receive(sink.data(), sink.size(), ignored, error) <= 0)
                break;
        }
        pendingError_.reset();
        FlushAndKick();
    }

    std::size_t FlushOutput() override {
        // The server purges what its line has not sent: all that is queued is deleted.
        const std::size_t queued = Queued();
        const std::size_t data = queued - std::min(urgent_, queued);
        data_.erase(data_.begin() + static_cast<long>(dataHead_), data_.end());
        urgent_ = 0;
        lineFreeAt_ = Clock::now(); // the server purges its buffer too
        SendSub(kPurgeData, {2});
        FlushAndKick();
        return data;
    }

    unsigned Wait(bool wantRead, bool wantWrite,
                  std::optional<Clock::time_point> deadline) override {
        pollfd fds[2] = {};
        fds[0].fd = kickFd_;
        fds[0].events = POLLIN;
        nfds_t count = 1;
        if (!gone_ && !peerClosed_) {
            fds[1].fd = fd_;
            // Room in the socket matters only for bytes that may go now: the driver's own wish
            // to write (Send takes what it can into the backlog, and that backlog may be held)
            // would make an empty socket report room for ever while a hold lasts.
            (void)wantWrite;
            const bool txBacklog = txWaiting_.load();
            fds[1].events =
                static_cast<short>(POLLRDHUP | (wantRead ? POLLIN : 0) | (txBacklog ? POLLOUT : 0));
            count = 2;
        }
        // The backlog the line window holds may go when half the window is free.
        if (const auto room = lineRoomAt_.load(); room != kNever && (!deadline || room < *deadline))
            deadline = room;
        timespec ts{};
        int r = ::ppoll(fds, count, PollTimeout(deadline, ts), nullptr);
        if (r <= 0)
            return 0;
        unsigned ready = 0;
        if (fds[0].revents & POLLIN) {
            DrainEventFd(kickFd_);
            ready |= kKicked;
        }
        if (count == 2) {
            if (fds[1].revents & POLLIN)
                ready |= kReadable;
            if (fds[1].revents & POLLOUT)
                ready |= kWritable | kKicked; // kicked: the driver flushes the backlog
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP)) {
                // What arrived before the end is still read by the driver before it hangs up;
                // the socket is not watched any more, or it would report the end for ever.
                peerClosed_ = true;
                ready |= kHangup;
            }
        }
        return ready;
    }

    void Kick() override { SignalEventFd(kickFd_); }

    void Close() override {
        if (fd_ < 0)
            return;
        ::close(fd_);
        ::close(kickFd_);
        fd_ = -1;
    }

    // Reads what the socket holds during the open: data is kept for the first Receive.
    long ReadSocket(DWORD& error) {
        std::uint8_t buf[4096];
        ssize_t n;
        do {
            n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (n <= 0) {
            error = n == 0 ? static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED) : SocketError(errno);
            return -1;
        }
        const std::size_t base = rx_.size();
        rx_.resize(base + static_cast<std::size_t>(n));
        commands_.clear();
        const std::size_t o =
            reader_.Feed(buf, static_cast<std::size_t>(n), rx_.data() + base, commands_);
        rx_.resize(base + o);
        byteReceived_ = byteReceived_ || o > 0;
        if (rx_.size() - rxHead_ > kRxKeepLimit) {
            // Nobody takes the data while an answer is awaited: what does not fit is lost, as on
            // a device whose buffer is full, and the loss is reported after the data kept.
            rx_.resize(rxHead_ + kRxKeepLimit);
            rxLost_ = true;
        }
        for (const TelnetCommand& c : commands_)
            Handle(c, 0, nullptr);
        return n;
    }

private:
    static constexpr std::size_t kSettings = 4; // speed, data size, parity, stop size

    // Reads the server's answers to the settings just asked for, up to kAnswerTime. Data that
    // arrives meanwhile is kept for Receive (a line error reported in this short window is not
    // marked on it). A setting the server answered with another value
    // than asked fails with ERROR_INVALID_PARAMETER; a server that does not answer at all, with
    // ERROR_BAD_NET_RESP.
    DWORD AwaitAnswers(const std::uint32_t (&want)[kSettings], const bool (&asked)[kSettings]) {
        const auto deadline = Clock::now() + kAnswerTime;
        auto answered = [&] {
            for (std::size_t i = 0; i < kSettings; ++i)
                if (asked[i] && !answer_[i])
                    return false;
            return true;
        };
        const bool kept = rxHead_ < rx_.size();
        DWORD result = 0;
        while (!answered()) {
            // Requests the socket has not taken yet go out as it makes room: the service thread,
            // which would send them otherwise, waits for the driver's lock held here.
            const bool owed = halfIac_ || !ctrl_.empty();
            const int ev =
                PollFor(fd_, static_cast<short>(POLLIN | (owed ? POLLOUT : 0)), deadline);
            if (ev == 0) {
                result = ERROR_BAD_NET_RESP;
                break;
            }
            if (ev < 0) {
                result = ErrnoToWin32(errno);
                break;
            }
            DWORD error = 0;
            if (ReadSocket(error) < 0) {
                gone_ = true;
                result = error;
                break;
            }
            if (DWORD e = FlushTx()) { // answers to the server's own requests
                result = e;
                break;
            }
        }
        if ((!kept && rxHead_ < rx_.size()) || gone_)
            Kick(); // the service thread takes the data read here, or finds the end
        for (std::size_t i = 0; i < kSettings; ++i) {
            if (!asked[i])
                continue;
            // What the server applied; unknown when it did not answer, so it is asked again.
            applied_[i] = answer_[i].value_or(0);
            // The settings at the open are the defaults, not the caller's: a server that keeps
            // its own there is no failure.
            if (result == 0 && *answer_[i] != want[i] && configured_)
                result = ERROR_INVALID_PARAMETER;
        }
        configured_ = true;
        return result;
    }

    DWORD Control(std::uint8_t value) {
        SendSub(kSetControl, {value});
        return FlushAndKick();
    }

    void SendSub(std::uint8_t command, std::initializer_list<std::uint8_t> values) {
        ctrl_.insert(ctrl_.end(), {kIac, kSb, kComPort, command});
        for (std::uint8_t v : values) {
            ctrl_.push_back(v);
            if (v == kIac)
                ctrl_.push_back(kIac);
        }
        ctrl_.insert(ctrl_.end(), {kIac, kSe});
    }

    void SendVerb(std::uint8_t verb, std::uint8_t option) {
        ctrl_.insert(ctrl_.end(), {kIac, verb, option});
    }

    // Answers the server's requests; a request is answered once, so that two peers never
    // bounce the same answer.
    void Handle(const TelnetCommand& c, std::size_t end, std::vector<RxMark>* marks) {
        const bool ours = c.option == kBinary || c.option == kSga || c.option == kComPort;
        switch (c.kind) {
        case TelnetCommand::Do:
            if (c.option == kComPort)
                comPort_ = true;
            if (ours && !sentWill_[c.option]) {
                sentWill_[c.option] = true;
                SendVerb(kWill, c.option);
            } else if (!ours && !refusedWill_[c.option]) {
                refusedWill_[c.option] = true;
                SendVerb(kWont, c.option);
            }
            break;
        case TelnetCommand::Will:
            if (c.option == kComPort)
                comPort_ = true;
            if (ours && !sentDo_[c.option]) {
                sentDo_[c.option] = true;
                SendVerb(kDo, c.option);
            } else if (!ours && !refusedDo_[c.option]) {
                refusedDo_[c.option] = true;
                SendVerb(kDont, c.option);
            }
            break;
        case TelnetCommand::Dont:
        case TelnetCommand::Wont:
            if (c.option == kComPort && !comPort_)
                refused_ = true;
            break;
        case TelnetCommand::Sub:
            if (c.option == kComPort && !c.payload.empty())
                HandleComPort(c.payload[0], c.payload, std::min(c.pos, end), marks);
            break;
        }
    }

    void HandleComPort(std::uint8_t command, const std::vector<std::uint8_t>& p, std::size_t pos,
                       std::vector<RxMark>* marks) {
        if (command == kServerOffset + kFlowSuspend || command == kServerOffset + kFlowResume) {
            serverHold_ = command == kServerOffset + kFlowSuspend; // these carry no value
            ReleaseOrHold(serverHold_);
            return;
        }
        if (p.size() < 2)
            return;
        const std::uint8_t value = p[1];
        switch (command) {
        case kServerOffset + kNotifyModemstate: {
            const std::uint8_t changed = static_cast<std::uint8_t>(value ^ modem_);
            if ((changed & kMsCts) || (value & kMsDeltaCts))
                ++counters_.cts;
            if ((changed & kMsDsr) || (value & kMsDeltaDsr))
                ++counters_.dsr;
            if ((changed & kMsDcd) || (value & kMsDeltaDcd))
                ++counters_.dcd;
            // A ring counts once, at its end (the indicator going off, or the trailing-edge
            // bit of a ring too short to be seen on), as on a tty.
            if (((changed & kMsRing) && !(value & kMsRing)) || (value & kMsRingEdge))
                ++counters_.ring;
            modem_ = value & 0xF0;
            Kick(); // the service thread compares the counters
            break;
        }
        case kServerOffset + kNotifyLinestate: {
            auto add = [&](RxMarkKind kind) {
                if (marks == nullptr)
                    return;
                if (kind == RxMarkKind::Parity || kind == RxMarkKind::Frame) {
                    // The report follows the byte it concerns. At the start of a read that byte
                    // came in an earlier one and has been delivered: only the error is left to
                    // count (marking the next byte would flag a good one, and with no next byte
                    // the error would never be seen). With no byte received yet, the next one.
                    if (pos > 0)
                        marks->push_back({pos - 1, kind});
                    else if (byteReceived_)
                        marks->push_back({0, kind == RxMarkKind::Parity ? RxMarkKind::LateParity
                                                                        : RxMarkKind::LateFrame});
                    else
                        pendingError_ = kind;
                    return;
                }
                marks->push_back({pos, kind});
            };
            if (value & kLsBreak)
                add(RxMarkKind::Break);
            if (value & kLsOverrun)
                add(RxMarkKind::Overrun);
            if (value & kLsParity)
                add(RxMarkKind::Parity);
            else if (value & kLsFrame)
                add(RxMarkKind::Frame);
            break;
        }
        case kServerOffset + kSetBaudrate:
            if (p.size() >= 5)
                answer_[0] = (std::uint32_t{p[1]} << 24) | (std::uint32_t{p[2]} << 16) |
                             (std::uint32_t{p[3]} << 8) | p[4];
            break;
        case kServerOffset + kSetDatasize:
        case kServerOffset + kSetParity:
        case kServerOffset + kSetStopsize:
            answer_[command - kServerOffset - kSetBaudrate] = value;
            break;
        default:
            break; // answers to the other requests
        }
    }

    // After a hold changed: what may go is flushed, and a lifted hold wakes the service thread,
    // whose write may be waiting for room in the backlog.
    DWORD ReleaseOrHold(bool hold) {
        const DWORD e = FlushAndKick();
        if (!hold)
            Kick();
        return e;
    }

    DWORD FlushAndKick() {
        DWORD e = FlushTx();
        if (txWaiting_)
            Kick(); // the service thread waits for room in the socket
        return e;
    }

    // The line time the socket may hold ahead of now.
    std::chrono::nanoseconds LineWindow() const {
        return std::max<std::chrono::nanoseconds>(kLineWindow,
                                                  charTime_ * static_cast<long>(kLineWindowChars));
    }

    // Data bytes the socket may take now: the server's line is to have at most LineWindow() of
    // them to send by our estimate, and it is refilled once half of that is left, so that the
    // socket is not handed a few bytes at every call. Urgent bytes always go.
    std::size_t LineRoom() const {
        if (charTime_.count() <= 0)
            return data_.size() - dataHead_; // no speed set yet
        const auto window = LineWindow();
        const auto ahead = std::max<std::chrono::nanoseconds>(lineFreeAt_ - Clock::now(), {});
        if (ahead > window / 2)
            return urgent_;
        return std::max<std::size_t>(urgent_,
                                     static_cast<std::size_t>((window - ahead) / charTime_));
    }

    // Writes control bytes, then data with IAC doubled, as far as the socket takes them and the
    // line window lets them.
    DWORD FlushTx() {
        if (gone_)
            return ERROR_DEVICE_NOT_CONNECTED;
        bool windowFull = false;
        for (;;) {
            if (halfIac_) {
                const std::uint8_t iac = kIac;
                long n = Write(&iac, 1);
                if (n < 0)
                    return Fail();
                if (n == 0)
                    break;
                halfIac_ = false;
            }
            if (!ctrl_.empty()) {
                long n = Write(ctrl_.data(), ctrl_.size());
                if (n < 0)
                    return Fail();
                ctrl_.erase(ctrl_.begin(), ctrl_.begin() + n);
                if (!ctrl_.empty())
                    break;
            }
            if (dataHead_ == data_.size() || localHold_ || serverHold_ ||
                (ctsFlow_ && !(modem_ & kMsCts)))
                break;
            const std::size_t room = LineRoom();
            if (room == 0) {
                windowFull = true;
                break;
            }
            // Encode a block, then account for what the socket took.
            const std::size_t take =
                std::min<std::size_t>({data_.size() - dataHead_, room, std::size_t{8192}});
            encoded_.clear();
            for (std::size_t i = 0; i < take; ++i) {
                const std::uint8_t b = data_[dataHead_ + i];
                encoded_.push_back(b);
                if (b == kIac)
                    encoded_.push_back(kIac);
            }
            long n = Write(encoded_.data(), encoded_.size());
            if (n < 0)
                return Fail();
            std::size_t consumed = 0;
            for (std::size_t k = 0; k < static_cast<std::size_t>(n); ++consumed) {
                if (data_[dataHead_ + consumed] == kIac) {
                    if (k + 1 == static_cast<std::size_t>(n)) {
                        halfIac_ = true; // the second IAC of the pair is still owed
                        k += 1;
                        continue;
                    }
                    k += 2;
                } else {
                    k += 1;
                }
            }
            dataHead_ += consumed;
            urgent_ -= std::min(urgent_, consumed);
            lineFreeAt_ =
                std::max(lineFreeAt_, Clock::now()) + charTime_ * static_cast<long>(consumed);
            if (dataHead_ == data_.size()) {
                data_.clear();
                dataHead_ = 0;
            } else if (dataHead_ > 65536) {
                data_.erase(data_.begin(), data_.begin() + static_cast<long>(dataHead_));
                dataHead_ = 0;
            }
            if (static_cast<std::size_t>(n) < encoded_.size())
                break;
        }
        const bool held = localHold_ || serverHold_ || (ctsFlow_ && !(modem_ & kMsCts));
        const bool ready = dataHead_ < data_.size() && !held;
        txWaiting_ = halfIac_ || !ctrl_.empty() || (ready && !windowFull);
        const auto roomAt = ready && windowFull ? lineFreeAt_ - LineWindow() / 2 : kNever;
        if (lineRoomAt_.exchange(roomAt) == kNever && roomAt != kNever)
            Kick(); // a service thread asleep without this deadline looks again
        return 0;
    }

    long Write(const std::uint8_t* p, std::size_t n) {
        for (;;) {
            ssize_t w = ::send(fd_, p, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w >= 0)
                return w;
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return 0;
            lastErrno_ = errno;
            return -1;
        }
    }

    DWORD Fail() {
        gone_ = true;
        txWaiting_ = false;
        Kick();
        return SocketError(lastErrno_);
    }

    int fd_;
    int kickFd_;
    TelnetReader reader_;
    std::vector<TelnetCommand> commands_;
    std::vector<std::uint8_t> raw_;
    std::vector<std::uint8_t> rx_; // decoded data not yet delivered
    std::size_t rxHead_ = 0;
    bool rxLost_ = false;            // data beyond kRxKeepLimit was dropped from rx_
    std::vector<std::uint8_t> ctrl_; // telnet commands not yet in the socket
    std::vector<std::uint8_t> data_; // data bytes not yet in the socket, from dataHead_
    std::size_t dataHead_ = 0;
    std::vector<std::uint8_t> encoded_;
    bool halfIac_ = false;
    std::atomic<bool> txWaiting_{false}; // read by Wait, outside the driver's lock
    // When the line window has room for the backlog it holds back (kNever: it holds nothing).
    static constexpr Clock::time_point kNever = Clock::time_point::max();
    std::atomic<Clock::time_point> lineRoomAt_{kNever};
    std::size_t urgent_ = 0; // bytes at the backlog's head from SendUrgent
    std::atomic<bool> gone_{false};
    std::atomic<bool> peerClosed_{false}; // set by Wait
    int lastErrno_ = 0;
    bool comPort_ = false;
    bool refused_ = false;
    bool sentWill_[256] = {}, sentDo_[256] = {}, refusedWill_[256] = {}, refusedDo_[256] = {};
    std::uint8_t modem_ = 0;
    ModemCounters counters_{};
    bool ctsFlow_ = false;
    bool localHold_ = false;
    bool serverHold_ = false;
    std::optional<RxMarkKind> pendingError_;
    bool byteReceived_ = false; // a line-error report at the start of a read concerns that byte
    // The settings the server said it applied (0: unknown), and its answers to the last asking.
    std::uint32_t applied_[kSettings] = {};
    std::optional<std::uint32_t> answer_[kSettings];
    bool configured_ = false;
    // The server's line: one character time at the set speed, and when it will have sent every
    // byte handed over so far.
    std::chrono::nanoseconds charTime_{};
    Clock::time_point lineFreeAt_{};
    std::size_t networkQueued_ = 0; // at the last OutQueue()
};

} // namespace

bool IsNetworkPortName(const char* name) {
    return std::strncmp(name, "rfc2217://", 10) == 0;
}

std::unique_ptr<CommBackend> OpenRfc2217Backend(const char* name, DWORD& error) {
    // rfc2217://HOST:PORT, HOST a name, an IPv4 address or [IPv6].
    std::string rest(name + 10);
    std::string host, port;
    if (!rest.empty() && rest[0] == '[') {
        auto close = rest.find(']');
        if (close != std::string::npos && close + 1 < rest.size() && rest[close + 1] == ':') {
            host = rest.substr(1, close - 1);
            port = rest.substr(close + 2);
        }
    } else {
        auto colon = rest.rfind(':');
        if (colon != std::string::npos && rest.find(':') == colon) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
        }
    }
    if (host.empty() || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
        std::stoul(port) > 65535) {
        error = ERROR_FILE_NOT_FOUND; // not a name of a network port
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int r = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); r != 0) {
        error = r == EAI_SYSTEM ? ErrnoToWin32(errno) : static_cast<DWORD>(ERROR_BAD_NETPATH);
        return nullptr;
    }
    int fd = -1;
    error = ERROR_BAD_NETPATH;
    const auto deadline = Clock::now() + kConnectTime;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        int s =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            error = ErrnoToWin32(errno);
            continue;
        }
        int err = 0;
        if (::connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                const int ev = PollFor(s, POLLOUT, deadline);
                socklen_t len = sizeof err;
                if (ev == 0)
                    err = ETIMEDOUT;
                else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                    err = errno;
            }
        }
        if (err != 0) {
            error = SocketError(err);
            ::close(s);
            continue;
        }
        fd = s;
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        return nullptr;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int kickFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (kickFd < 0) {
        error = ErrnoToWin32(errno);
        ::close(fd);
        return nullptr;
    }
    auto backend = std::make_unique<Rfc2217Backend>(fd, kickFd);
    if (DWORD e = backend->Negotiate()) {
        error = e;
        return nullptr;
    }
    return backend;
}

} // namespace zv::win32
