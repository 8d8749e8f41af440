// The device under the comm driver: a tty, or a virtual line. The driver core (CommDevice)
// keeps queues, time-outs and events; a backend only moves bytes and drives lines.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <time.h>
#include <vector>

namespace zv::win32 {

using Clock = std::chrono::steady_clock;

// A line condition found among received bytes. Parity and Frame mark the byte at `pos` (it is
// delivered, or replaced by the error character); Break and Overrun happen before the byte at
// `pos` and carry no byte. RxOver: bytes were lost because a buffer was full. LateParity and
// LateFrame: the error of a byte delivered by an earlier Receive; they carry no byte either.
enum class RxMarkKind : std::uint8_t {
    Parity,
    Frame,
    Break,
    Overrun,
    RxOver,
    LateParity,
    LateFrame
};
struct RxMark {
    std::size_t pos;
    RxMarkKind kind;
};

// Counters of modem-line transitions, compared between wake-ups so short pulses are not lost.
struct ModemCounters {
    std::uint32_t cts = 0, dsr = 0, dcd = 0, ring = 0;
};

std::chrono::nanoseconds CharacterTime(const DCB& dcb); // one character frame, below

class CommBackend {
public:
    enum Ready : unsigned { kReadable = 1, kWritable = 2, kHangup = 4, kKicked = 8 };

    virtual ~CommBackend() = default;

    // ---- configuration and lines (called with the driver's lock held) -------------------
    // Applies a validated DCB; returns a Win32 error code, 0 on success.
    virtual DWORD Configure(const DCB& dcb) = 0;
    virtual DWORD SetDtr(bool on) = 0;
    virtual DWORD SetRts(bool on) = 0;
    virtual DWORD SetBreak(bool on) = 0;
    // SETXOFF/SETXON: hold or release transmission as if XOFF/XON had been received.
    virtual DWORD SetTxHold(bool hold) = 0;
    virtual DWORD GetModemStatus(DWORD& status) = 0;
    // Modem counters; false when the device has no modem lines.
    virtual bool ReadCounters(ModemCounters& counters) = 0;
    // COMSTAT hold bits the device can tell: 1 CTS hold, 2 DSR hold, 4 RLSD hold, 8 XOFF hold.
    virtual DWORD HoldFlags() { return 0; }
    // The DCB this device starts with: the last one applied to it in this process, else
    // DefaultDcb().
    virtual DCB InitialDcb() = 0;
    // False for a device without modem lines (a pseudo-terminal).
    virtual bool HasModemLines() const = 0;

    // ---- data (called by the service thread, or with the driver's lock held) ------------
    // Takes received bytes: >0 bytes stored in `data` (marks appended), 0 when nothing is
    // there, -1 when the device is gone (`error` set).
    virtual long Receive(std::uint8_t* data, std::size_t capacity, std::vector<RxMark>& marks,
                         DWORD& error) = 0;
    // Hands bytes to the device: the count accepted (0 when full), -1 when gone.
    virtual long Send(const std::uint8_t* data, std::size_t count, DWORD& error) = 0;
    // Sends one byte ahead of the bytes not yet handed over (TransmitCommChar).
    virtual DWORD SendUrgent(std::uint8_t byte) = 0;
    // Bytes handed over but not yet on the line.
    virtual std::size_t OutQueue() = 0;
    // When the device cannot tell exactly when its last byte left, the driver re-checks
    // OutQueue() after this delay once it reads 0; zero means OutQueue() is exact.
    virtual std::chrono::nanoseconds DrainSettleTime() { return {}; }
    // How long `queued` bytes of OutQueue() take to leave, for the driver's next look at it: one
    // character time each at the DCB's speed on a serial line.
    virtual std::chrono::nanoseconds OutQueueTime(const DCB& dcb, std::size_t queued) {
        return CharacterTime(dcb) * static_cast<long>(queued);
    }
    // How long after the device was read empty a call may answer from the driver's queue
    // without asking the device again; zero for a device whose bytes are there the moment the
    // far end sends them (a virtual line).
    virtual std::chrono::nanoseconds FreshInputTime() const { return {}; }
    virtual void FlushInput() = 0;
    // Deletes the bytes handed over but not yet on the line. Returns how many of them Send
    // handed over (SendUrgent's bytes not counted), as near as the device can tell.
    virtual std::size_t FlushOutput() = 0;

    // ---- waiting (service thread only, without the driver's lock) ----------------------
    // Blocks until one of the wanted conditions, a hang-up, a modem change (reported as
    // kKicked), Kick(), or the deadline. Returns Ready bits (0 at the deadline).
    virtual unsigned Wait(bool wantRead, bool wantWrite,
                          std::optional<Clock::time_point> deadline) = 0;
    // Wakes Wait from another thread.
    virtual void Kick() = 0;

    // ---- watching from a waiting thread (see EventSource in Kernel.h; no lock held) ------
    // True when WatchInput works: a thread other than the service thread can then wait for the
    // device's input itself.
    virtual bool CanWatch() const { return false; }
    // Blocks until input is there (kReadable), the device went away (kHangup), `wakeFd` is
    // readable (kKicked; it is emptied), or the deadline (0). Takes nothing.
    virtual unsigned WatchInput(int /*wakeFd*/, std::optional<Clock::time_point> /*deadline*/) {
        return 0;
    }

    // Starts helper threads (modem watcher); called once the driver is ready for events.
    virtual void Start() {}
    // The near end is closing: stop helper threads, release the device.
    virtual void Close() = 0;
};

// For the backends that wait in ppoll: the time from now to `deadline` in `ts` (nullptr, no
// time-out, without a deadline). Their wake descriptors are eventfds (SignalEventFd,
// DrainEventFd in Kernel.h).
timespec* PollTimeout(std::optional<Clock::time_point> deadline, timespec& ts);

// Opens the named device: a registered virtual line, or a tty path. Sets `error` on failure.
std::unique_ptr<CommBackend> OpenVirtualBackend(const char* name, DWORD& error, bool& found);
std::unique_ptr<CommBackend> OpenTtyBackend(const char* path, DWORD& error);
// A serial port on a port server: "rfc2217://HOST:PORT".
bool IsNetworkPortName(const char* name);
std::unique_ptr<CommBackend> OpenRfc2217Backend(const char* name, DWORD& error);

// The device path behind a port name: COMn -> /dev/ttyS(n-1), "/path" -> itself, else /dev/NAME.
std::string DevicePathForName(const char* name);

// Names of the registered virtual lines that are plugged in, in registration order.
std::vector<std::string> VirtualLineNames();

// The DCB a device starts with when it is opened for the first time: 9600 8N1, DTR and RTS
// on, no flow control (what a Win32 serial driver reports before anyone configured it).
DCB DefaultDcb();

// Bit times of one character frame at the DCB's settings, times two (1.5 stop bits).
unsigned HalfBitsPerCharacter(const DCB& dcb);
std::chrono::nanoseconds CharacterTime(const DCB& dcb);

} // namespace zv::win32
