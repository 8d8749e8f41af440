// Virtual serial lines: an in-process serial device whose far end is held by code.
//
// A test or the simulated board registers a name; the near end is then opened like any port,
// with CreateFileA("\\\\.\\SIM", ...), and driven through the Win32 calls. The line is wired as
// a null-modem cable: near RTS -> far CTS, near DTR -> far DSR and DCD; the far end drives the
// near end's CTS, DSR, DCD and RI.
//
//     auto line = zv::VirtualLine::Create("SIM");          // registered until `line` dies
//     HANDLE h = CreateFileA("\\\\.\\SIM", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
//                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
//     line->Write("hello");                                 // the near end receives it
//     std::string got = line->ReadString(5, 1000ms);        // what the near end sent
//     line->SetCts(true);                                   // near end sees EV_CTS, MS_CTS_ON
//     for (const zv::LineChange& c : line->TakeChanges())   // RTS/DTR/break edges, open/close
//         ...;
//     line->Unplug();                                       // pending and later calls fail
//
// Everything here is thread-safe. Blocking calls take a time-out and never spin. POSIX only:
// on Windows the far end of a port is a real device.
#pragma once

#ifndef _WIN32

#include "platform/win32.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// The near end's outputs and state, as seen at the far end.
enum class LineSignal : std::uint8_t {
    Rts,    // near RTS (far CTS)
    Dtr,    // near DTR (far DSR and DCD)
    Break,  // near end holds the line in the break state
    Open,   // the near end opened (true) or closed (false) the device
    Config, // the near end applied a new DCB (level is always true); see Settings()
};

const char* LineSignalName(LineSignal signal);

// One change at the near end, stamped with the monotonic clock when it happened.
struct LineChange {
    std::chrono::steady_clock::time_point time;
    LineSignal signal;
    bool level;
};

// Errors the far end can make the near end receive, each with one received byte.
enum class LineError : std::uint8_t {
    Frame,   // the byte arrives with a framing error (CE_FRAME)
    Parity,  // the byte arrives with a parity error (CE_RXPARITY, when parity is checked)
    Overrun, // a byte was lost in the receiver (CE_OVERRUN); the given byte is not delivered
};

class VirtualLine {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = std::chrono::milliseconds;

    // Registers `name` (case-insensitive, no backslash, 1-64 characters) as a virtual device.
    // Throws std::invalid_argument for a bad name and std::runtime_error when the name is
    // registered already. The line is unregistered, and a near end still open is unplugged,
    // when the returned object is destroyed.
    static std::unique_ptr<VirtualLine> Create(std::string name);
    ~VirtualLine();
    VirtualLine(const VirtualLine&) = delete;
    VirtualLine& operator=(const VirtualLine&) = delete;

    const std::string& Name() const;

    // ---- the near end ------------------------------------------------------------------
    bool IsOpen() const;
    // Waits until the near end's open state equals `open`; false on time-out.
    bool WaitOpen(bool open, Duration timeout) const;
    // The near end's current DCB (BaudRate, ByteSize, Parity, StopBits, flow control ...).
    DCB Settings() const;
    // Current levels of the near end's outputs.
    bool Rts() const;
    bool Dtr() const;
    bool Break() const;

    // ---- data from the near end (what it transmitted) ----------------------------------
    // Bytes received and not yet read.
    std::size_t Available() const;
    // Reads up to `max` bytes; waits up to `timeout` for the first one. Returns the count.
    std::size_t Read(void* buffer, std::size_t max, Duration timeout);
    // Waits without a time-out until bytes are there to read (true), or until `stop` is
    // requested (false). Leaves the bytes where they are, so a reader that must order them
    // against line changes can take them under its own lock.
    bool WaitAvailable(std::stop_token stop);
    // Reads what is there now, without waiting; `arrived`, when given, is set to when the last
    // byte read reached the far end (left as it was when nothing was read).
    std::size_t TryRead(void* buffer, std::size_t max, Clock::time_point* arrived = nullptr);
    // Reads until `count` bytes arrived or `timeout` passed (measured from the call).
    std::string ReadString(std::size_t count, Duration timeout);

    // ---- data and conditions to the near end -------------------------------------------
    // Never blocks and never drops: a far end that honours flow control watches Rts() (its
    // CTS) or, with XON/XOFF input control at the near end, the XOFF/XON bytes it reads. The
    // device holds back its input (RTS off / XOFF) while 4096 bytes wait for the driver.
    void Write(const void* data, std::size_t count);
    void Write(std::string_view data) { Write(data.data(), data.size()); }
    // A break condition on the line: the near end gets EV_BREAK and CE_BREAK, no data byte.
    void SendBreak();
    // One received byte with a line error (see LineError).
    void InjectError(LineError error, std::uint8_t byte = 0);
    // Bytes written by the far end that the near end has not taken into its input queue yet.
    std::size_t PendingToNear() const;

    // ---- the near end's inputs ---------------------------------------------------------
    void SetCts(bool on);
    void SetDsr(bool on);
    void SetDcd(bool on);
    void SetRing(bool on); // EV_RING is raised when the ring signal ends (on -> off)
    // Null-modem convenience: the far end's RTS drives near CTS, its DTR near DSR and DCD.
    void SetFarRts(bool on) { SetCts(on); }
    void SetFarDtr(bool on);

    // ---- observing the near end --------------------------------------------------------
    // Every change of near RTS, DTR, break, open state and settings, oldest first. The queue
    // keeps everything since the last TakeChanges().
    std::vector<LineChange> TakeChanges();
    // Waits for the next change and removes it from the queue; nullopt on time-out.
    std::optional<LineChange> WaitChange(Duration timeout);
    // Called for every change, in order, on the thread that made it: a thread of the near end,
    // or the far end's own thread when its Write() makes the device throttle input (RTS
    // handshake). It must not call the near end's Win32 functions, and should be quick (the near
    // end's call waits for it); the far-end calls are fine. An empty function removes it.
    void OnChange(std::function<void(const LineChange&)> callback);

    // ---- timing and faults -------------------------------------------------------------
    // Pacing off (the default): bytes cross the line at once. Pacing on: each character takes
    // the time of its frame at the near end's configured speed (start bit, data bits, parity,
    // stop bits: 10 bit times at 8N1), in both directions; a near write completes when its last
    // byte has reached the far end.
    void SetPacing(bool on);
    // The time one character takes at the near end's current settings.
    std::chrono::nanoseconds CharacterTime() const;
    // Pulls the plug: every pending near-end operation fails with ERROR_DEVICE_NOT_CONNECTED,
    // every later call on that handle fails the same way, and new opens fail with
    // ERROR_FILE_NOT_FOUND until Plug(). The name stays registered.
    void Unplug();
    void Plug();
    bool IsPlugged() const;

    struct Impl;

private:
    explicit VirtualLine(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace zv

#endif // _WIN32
