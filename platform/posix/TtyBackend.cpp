// The tty backend: a Linux serial device or pseudo-terminal under the comm driver.
//
// Linux facts this file relies on:
// - termios2 with BOTHER sets any bit rate; the kernel reports the rate it really set.
// - With PARMRK, a byte received with a parity or framing error arrives as 0377 0 X, a break as
//   0377 0 0, and a real 0377 as 0377 0377; TIOCGICOUNT tells parity, framing and break apart
//   and counts overruns, which are not marked in the data.
// - TIOCMIWAIT blocks until a modem line changes; TIOCGICOUNT counts every transition, so a
//   pulse shorter than our reaction is still seen.
// - A pseudo-terminal has no modem lines (TIOCMGET fails with ENOTTY) and no line errors.
// - With VMIN=1 and O_NONBLOCK, read() returns -1/EAGAIN when there is nothing, and 0 only when
//   the other side hung up.
#include "platform/posix/CommBackend.h"
#include "platform/posix/Kernel.h"
#include "platform/posix/ThreadSafety.h"

#include <algorithm>
#include <asm/termbits.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zv::win32 {
namespace {

// The DCB last applied to each device path, so that a device opened again starts as the
// program left it (the lines follow it right after the open).
struct DcbCache {
    Mutex mutex;
    std::map<std::string, DCB> dcbs GUARDED_BY(mutex);
};
DcbCache& Dcbs() {
    static auto* cache = new DcbCache; // never destroyed: a device may close during exit
    return *cache;
}

// A signal with an empty handler interrupts the modem watcher's TIOCMIWAIT at close.
int WakeSignal() {
    return SIGRTMIN + 7;
}
void InstallWakeHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: the ioctl returns EINTR
        sigaction(WakeSignal(), &sa, nullptr);
    });
}

DWORD OpenErrorCode(int err) {
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO:
        return ERROR_FILE_NOT_FOUND; // no device behind the name
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_ACCESS_DENIED; // in use, or not ours
    default:
        return ErrnoToWin32(err);
    }
}

class TtyBackend final : public CommBackend {
public:
    TtyBackend(std::string path, int fd, int kickFd)
        : path_(std::move(path)), fd_(fd), kickFd_(kickFd) {
        int bits = 0;
        modemLines_ = ::ioctl(fd_, TIOCMGET, &bits) == 0;
        serial_icounter_struct ic{};
        icount_ = ::ioctl(fd_, TIOCGICOUNT, &ic) == 0;
        if (icount_)
            lastIcount_ = ic;
        unsigned lsr = 0;
        lsr_ = ::ioctl(fd_, TIOCSERGETLSR, &lsr) == 0;
        parmrk_ = modemLines_; // a pseudo-terminal has no line errors to mark
    }

    ~TtyBackend() override { Close(); }

    DWORD Configure(const DCB& dcb) override {
        termios2 old{};
        if (::ioctl(fd_, TCGETS2, &old) != 0)
            return ErrnoToWin32(errno);
        termios2 t = old;
        t.c_iflag = 0;
        if (parmrk_)
            t.c_iflag |= PARMRK;
        // Without INPCK the UART driver does not even look for framing errors, and the byte
        // comes as good data. So on a device with line errors it is on whenever a mark cannot
        // be a parity error (no parity on the line) as well as when parity is checked; the
        // driver above tells the two kinds apart by the error counters, or, where there are
        // none, by whether parity is checked. A pseudo-terminal has no line errors, and INPCK
        // would take it off the kernel's raw input path (half the speed).
        if (dcb.fParity || (parmrk_ && dcb.Parity == NOPARITY))
            t.c_iflag |= INPCK;
        if (dcb.fOutX)
            t.c_iflag |= IXON;
        if (dcb.fInX)
            t.c_iflag |= IXOFF;
        t.c_oflag = 0;
        t.c_lflag = 0;
        tcflag_t c = CREAD | CLOCAL; // no HUPCL: closing leaves the lines as the program set them
        switch (dcb.ByteSize) {
        case 5:
            c |= CS5;
            break;
        case 6:
            c |= CS6;
            break;
        case 7:
            c |= CS7;
            break;
        default:
            c |= CS8;
            break;
        }
        if (dcb.StopBits != ONESTOPBIT)
            c |= CSTOPB; // with 5 data bits the UART sends 1.5 stop bits
        switch (dcb.Parity) {
        case ODDPARITY:
            c |= PARENB | PARODD;
            break;
        case EVENPARITY:
            c |= PARENB;
            break;
        case MARKPARITY:
            c |= PARENB | CMSPAR | PARODD;
            break;
        case SPACEPARITY:
            c |= PARENB | CMSPAR;
            break;
        default:
            break;
        }
        // Linux has one switch for both directions of hardware flow control.
        if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
            c |= CRTSCTS;
        c |= BOTHER | (BOTHER << IBSHIFT);
        t.c_cflag = c;
        t.c_ispeed = dcb.BaudRate;
        t.c_ospeed = dcb.BaudRate;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
        if (::ioctl(fd_, TCSETS2, &t) != 0)
            return ErrnoToWin32(errno);
        termios2 back{};
        if (::ioctl(fd_, TCGETS2, &back) == 0) {
            // The kernel reports the rate it could really set; refuse one that is far off.
            const double want = dcb.BaudRate;
            const double got = back.c_ospeed;
            if (got < want * 0.97 || got > want * 1.03) {
                ::ioctl(fd_, TCSETS2, &old);
                return ERROR_INVALID_PARAMETER;
            }
        }
        crtscts_ = (c & CRTSCTS) != 0;
        parityChecked_ = dcb.fParity != 0;
        charTime_ = CharacterTime(dcb);
        DcbCache& cache = Dcbs();
        MutexLock lock(cache.mutex);
        cache.dcbs[path_] = dcb;
        return 0;
    }

    DWORD SetDtr(bool on) override { return ModemBits(TIOCM_DTR, on); }
    DWORD SetRts(bool on) override { return ModemBits(TIOCM_RTS, on); }

    DWORD SetBreak(bool on) override {
        return ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : ErrnoToWin32(errno);
    }

    DWORD SetTxHold(bool hold) override {
        if (::ioctl(fd_, TCXONC, hold ? TCOOFF : TCOON) != 0)
            return ErrnoToWin32(errno);
        txHold_ = hold; // the kernel does not tell: fXoffHold is answered from here
        return 0;
    }

    DWORD GetModemStatus(DWORD& status) override {
        int bits = 0;
        if (::ioctl(fd_, TIOCMGET, &bits) != 0)
            return ErrnoToWin32(errno);
        status = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0) |
                 ((bits & TIOCM_RNG) ? MS_RING_ON : 0) | ((bits & TIOCM_CAR) ? MS_RLSD_ON : 0);
        return 0;
    }

    bool ReadCounters(ModemCounters& counters) override {
        if (!icount_)
            return false;
        serial_icounter_struct ic{};
        if (::ioctl(fd_, TIOCGICOUNT, &ic) != 0)
            return false;
        counters.cts = static_cast<std::uint32_t>(ic.cts);
        counters.dsr = static_cast<std::uint32_t>(ic.dsr);
        counters.dcd = static_cast<std::uint32_t>(ic.dcd);
        counters.ring = static_cast<std::uint32_t>(ic.rng);
        return true;
    }

    DWORD HoldFlags() override {
        const DWORD xoff = txHold_ ? 8 : 0;
        if (!modemLines_ || !crtscts_ || OutQueue() == 0)
            return xoff;
        int bits = 0;
        if (::ioctl(fd_, TIOCMGET, &bits) != 0)
            return xoff;
        return xoff | ((bits & TIOCM_CTS) ? 0 : 1);
    }

    DCB InitialDcb() override {
        DcbCache& cache = Dcbs();
        MutexLock lock(cache.mutex);
        auto it = cache.dcbs.find(path_);
        return it != cache.dcbs.end() ? it->second : DefaultDcb();
    }

    bool HasModemLines() const override { return modemLines_; }

    long Receive(std::uint8_t* data, std::size_t capacity, std::vector<RxMark>& marks,
                 DWORD& error) override {
        if (gone_) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        std::uint8_t* raw = data;
        if (parmrk_) {
            raw_.resize(capacity);
            raw = raw_.data();
        }
        ssize_t n;
        do {
            n = ::read(fd_, raw, capacity);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (n <= 0) {
            // 0: the other side hung up; EIO/ENXIO: the device is gone (an adapter pulled out).
            gone_ = true;
            error = ERROR_DEVICE_NOT_CONNECTED;
            if (n < 0 && errno != EIO && errno != ENXIO && errno != ENODEV)
                error = ErrnoToWin32(errno);
            return -1;
        }
        if (!parmrk_)
            return n;
        return Decode(raw, static_cast<std::size_t>(n), data, marks);
    }

    long Send(const std::uint8_t* data, std::size_t count, DWORD& error) override {
        if (gone_) {
            error = ERROR_DEVICE_NOT_CONNECTED;
            return -1;
        }
        ssize_t n;
        do {
            n = ::write(fd_, data, count);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            outputMayWait_ = true;
            handed_ += static_cast<std::uint64_t>(n);
        }
        if (n >= 0)
            return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        error = (errno == EIO || errno == ENXIO || errno == ENODEV)
                    ? static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)
                    : ErrnoToWin32(errno);
        gone_ = true;
        return -1;
    }

    DWORD SendUrgent(std::uint8_t byte) override {
        DWORD error = 0;
        long n = Send(&byte, 1, error);
        if (n < 0)
            return error;
        if (n != 1)
            return ERROR_BUSY;
        urgentAt_.push_back(handed_);
        return 0;
    }

    std::size_t OutQueue() override {
        // Nothing written since the device was last seen empty: it still is. Spares a system
        // call on every status query of a port that only receives.
        if (!outputMayWait_)
            return 0;
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0)
            queued = 0;
        std::size_t n = queued > 0 ? static_cast<std::size_t>(queued) : 0;
        if (lsr_ && n == 0) {
            // The UART's own FIFO and shift register are not counted by TIOCOUTQ.
            unsigned lsr = 0;
            if (::ioctl(fd_, TIOCSERGETLSR, &lsr) == 0 && !(lsr & TIOCSER_TEMT))
                n = 1;
        }
        if (n == 0) {
            outputMayWait_ = false;
            urgentAt_.clear();
        }
        return n;
    }

    std::chrono::nanoseconds DrainSettleTime() override {
        // A device with modem lines but no transmitter-empty report (a USB adapter) may still
        // hold a few bytes in its own FIFO: allow two character times.
        return (modemLines_ && !lsr_) ? 2 * charTime_ : std::chrono::nanoseconds{};
    }

    // A byte that arrives within this time after the device was read empty is indistinguishable
    // from one arriving just after: a UART holds received bytes for a few character times before
    // it reports them, and the tty hands them to its reader through a worker thread.
    std::chrono::nanoseconds FreshInputTime() const override {
        return std::chrono::microseconds(100);
    }

    void FlushInput() override {
        ::ioctl(fd_, TCFLSH, TCIFLUSH);
        markState_ = 0;
    }

    std::size_t FlushOutput() override {
        int queued = 0;
        if (!outputMayWait_ || ::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0)
            queued = 0;
        // The kernel's buffer holds the last `queued` bytes handed over: the urgent bytes among
        // them are not counted.
        const auto data = static_cast<std::size_t>(queued);
        const std::uint64_t left = handed_ - data;
        const auto urgent = static_cast<std::size_t>(std::count_if(
            urgentAt_.begin(), urgentAt_.end(), [&](std::uint64_t at) { return at > left; }));
        urgentAt_.clear();
        ::ioctl(fd_, TCFLSH, TCOFLUSH);
        return data - std::min(urgent, data);
    }

    unsigned Wait(bool wantRead, bool wantWrite,
                  std::optional<Clock::time_point> deadline) override {
        pollfd fds[2] = {};
        fds[0].fd = kickFd_;
        fds[0].events = POLLIN;
        nfds_t count = 1;
        if (!gone_) {
            fds[1].fd = fd_;
            fds[1].events = static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
            count = 2;
        }
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
                ready |= kWritable;
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                gone_ = true;
                ready |= kHangup;
            }
        }
        return ready;
    }

    void Kick() override { SignalEventFd(kickFd_); }

    bool CanWatch() const override { return true; }

    // The descriptor stays open while a thread watches: the driver closes the device only after
    // every watcher has left.
    unsigned WatchInput(int wakeFd, std::optional<Clock::time_point> deadline) override {
        if (gone_)
            return kHangup;
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        timespec ts{};
        if (::ppoll(fds, 2, PollTimeout(deadline, ts), nullptr) <= 0)
            return 0;
        unsigned ready = 0;
        if (fds[0].revents & POLLIN)
            ready |= kReadable;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            gone_ = true;
            ready |= kHangup;
        }
        if (fds[1].revents & POLLIN) {
            DrainEventFd(wakeFd);
            ready |= kKicked;
        }
        return ready;
    }

    void Start() override {
        if (!modemLines_ || !icount_)
            return;
        InstallWakeHandler();
        watcher_ = std::thread([this] { WatchModemLines(); });
    }

    void Close() override {
        if (fd_ < 0)
            return;
        if (watcher_.joinable()) {
            stopWatcher_ = true;
            // The signal may arrive just before the thread enters the ioctl: repeat until it
            // has left.
            while (!watcherDone_) {
                pthread_kill(watcher_.native_handle(), WakeSignal());
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            watcher_.join();
        }
        ::ioctl(fd_, TIOCNXCL); // the flag can outlive our descriptor (a pty slave's does)
        ::close(fd_);           // releases the flock too
        ::close(kickFd_);
        fd_ = -1;
    }

private:
    DWORD ModemBits(int bit, bool on) {
        if (!modemLines_)
            return ERROR_INVALID_FUNCTION; // a pseudo-terminal has no modem lines
        return ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 ? 0 : ErrnoToWin32(errno);
    }

    void WatchModemLines() {
        while (!stopWatcher_) {
            int r = ::ioctl(fd_, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG);
            if (stopWatcher_)
                break;
            if (r == 0) {
                Kick();
            } else if (errno != EINTR) {
                Kick(); // let the driver find out what happened (a hang-up, usually)
                break;
            }
        }
        watcherDone_ = true;
    }

    // Undoes PARMRK marking; the state survives across reads.
    long Decode(const std::uint8_t* raw, std::size_t n, std::uint8_t* out,
                std::vector<RxMark>& marks) {
        std::size_t o = 0;
        bool marked = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t b = raw[i];
            switch (markState_) {
            case 0:
                if (b == 0377)
                    markState_ = 1;
                else
                    out[o++] = b;
                break;
            case 1:
                if (b == 0377) {
                    out[o++] = 0377;
                    markState_ = 0;
                } else if (b == 0) {
                    markState_ = 2;
                } else {
                    out[o++] = 0377; // not a mark after all
                    out[o++] = b;
                    markState_ = 0;
                }
                break;
            default:
                markState_ = 0;
                marked = true;
                if (b == 0 && TakeBreak()) {
                    marks.push_back({o, RxMarkKind::Break});
                } else {
                    marks.push_back({o, TakeParity() ? RxMarkKind::Parity : RxMarkKind::Frame});
                    out[o++] = b;
                }
                break;
            }
        }
        if (icount_ && (marked || n > 0))
            CheckOverruns(o, marks);
        return static_cast<long>(o);
    }

    // Refreshes the error counters once per batch of marks and hands them out one by one.
    void RefreshCounters() {
        serial_icounter_struct ic{};
        if (!icount_ || ::ioctl(fd_, TIOCGICOUNT, &ic) != 0)
            return;
        pendingBreaks_ += ic.brk - lastIcount_.brk;
        pendingParity_ += ic.parity - lastIcount_.parity;
        pendingOverrun_ += ic.overrun - lastIcount_.overrun;
        pendingBufOverrun_ += ic.buf_overrun - lastIcount_.buf_overrun;
        lastIcount_ = ic;
    }

    bool TakeBreak() {
        if (!icount_)
            return true;
        if (pendingBreaks_ <= 0)
            RefreshCounters();
        if (pendingBreaks_ > 0) {
            --pendingBreaks_;
            return true;
        }
        return false;
    }

    bool TakeParity() {
        if (!icount_)
            return parityChecked_;
        if (pendingParity_ <= 0)
            RefreshCounters();
        if (pendingParity_ > 0) {
            --pendingParity_;
            return true;
        }
        return false;
    }

    void CheckOverruns(std::size_t pos, std::vector<RxMark>& marks) {
        RefreshCounters();
        if (pendingOverrun_ > 0)
            marks.push_back({pos, RxMarkKind::Overrun});
        if (pendingBufOverrun_ > 0)
            marks.push_back({pos, RxMarkKind::RxOver});
        pendingOverrun_ = 0;
        pendingBufOverrun_ = 0;
    }

    const std::string path_;
    int fd_;
    // Bytes were written that the device may still hold (only this descriptor writes to it:
    // the device is opened exclusively).
    bool outputMayWait_ = true;
    std::uint64_t handed_ = 0; // bytes ever written to the device
    // For each SendUrgent byte the device may still hold: handed_ once it was written.
    std::vector<std::uint64_t> urgentAt_;
    int kickFd_;
    bool modemLines_ = false;
    bool icount_ = false;
    bool lsr_ = false;
    bool parmrk_ = false;
    bool parityChecked_ = false;
    bool crtscts_ = false;
    bool txHold_ = false;                          // SETXOFF in force
    std::atomic<bool> gone_{false};                // also read by Wait, outside the driver's lock
    std::chrono::nanoseconds charTime_{1'041'666}; // 9600 8N1
    std::vector<std::uint8_t> raw_;
    int markState_ = 0;
    serial_icounter_struct lastIcount_{};
    long pendingBreaks_ = 0, pendingParity_ = 0, pendingOverrun_ = 0, pendingBufOverrun_ = 0;
    std::thread watcher_;
    std::atomic<bool> stopWatcher_{false};
    std::atomic<bool> watcherDone_{false};
};

} // namespace

std::unique_ptr<CommBackend> OpenTtyBackend(const char* path, DWORD& error) {
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = OpenErrorCode(errno);
        return nullptr;
    }
    // Exclusive use: flock keeps out every other process that locks (and our own opens);
    // TIOCEXCL keeps out other opens of the tty as such.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = OpenErrorCode(errno);
        ::close(fd);
        return nullptr;
    }
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        ::close(fd);
        error = ERROR_FILE_NOT_FOUND; // not a serial device
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    // Linux raised DTR and RTS at the open; the driver sets them from the DCB right away.
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    ::ioctl(fd, TCSETS2, &t);
    int kickFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (kickFd < 0) {
        error = ErrnoToWin32(errno);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<TtyBackend>(path, fd, kickFd);
}

} // namespace zv::win32
