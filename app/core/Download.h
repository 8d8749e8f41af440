// The download and reset sequences on the serial line to the simulator board.
//
// The board reads two lines of the PC's port: DTR is its reset input, RTS its mode input. A DTR
// pulse resets it; with RTS off during the pulse it then stores every byte it receives from
// address 0 on, with RTS on it runs the program it holds. A download is therefore:
//
//   step               RTS   DTR   how long                          data
//   idle after open    on    off   until a command                   -
//   load reset         off   on    250 ms                            -
//   settle             off   off   250 ms                            -
//   transfer           off   off   until the write is done, +250 ms  ImageEnd + 1 image bytes
//   run reset          on    on    250 ms                            -
//   running            on    off   until the next command            -
//   Reset command      -     on    after 50 ms, for 250 ms, then off -
//
// The image goes out raw in one write: one byte per address from 0 to ImageEnd inclusive, no
// header, no checksum, no answer. The waits are plain sleeps of the calling thread and the write
// returns only when the driver has sent every byte, so a download blocks its caller for about
// 1.25 s plus one character time per byte (about 1 ms at 9600 baud).
//
// Both faces of the downloader run these functions: the window maps the observer's calls to its
// status bar and message boxes, the command line to its output. Port failures are not caught
// here: every failing port operation raises EComPort, which ends the sequence where it happened
// and reaches the caller unchanged.
#pragma once

#include "app/core/HexImage.h"
#include "platform/win32.h"
#include "toolkit/Exception.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

class TCustomComPort;

// The fixed waits of the sequences, in milliseconds.
inline constexpr DWORD DownloadPulseMs = 250; // each DTR pulse, the settle and the after-write wait
inline constexpr DWORD ResetLeadMs = 50;      // the wait before the Reset command's pulse

// Texts of status panel 0 as a download goes along.
inline constexpr std::string_view StatusReadFile = "Read File";
inline constexpr std::string_view StatusFileReady = "File is Redy";
inline constexpr std::string_view StatusFileTransfer = "File Transfer";
inline constexpr std::string_view StatusRun = "RUN";

// The message box of a file that cannot be opened (an OK button and the error icon).
inline constexpr std::string_view FileOpenErrorText = "Soubor nelze otevrit";
inline constexpr std::string_view FileOpenErrorCaption = "Chyba otevreni souboru";

// The write of the image ended before every byte was sent: the port's write time-outs
// (Timeouts: 100 ms a byte + 1000 ms by default) are shorter than the line needs, as at the
// lowest speeds with parity and two stop bits. The board has only part of the program; the
// download stops there, without the run reset.
class EDownload : public Exception {
public:
    EDownload(std::size_t sent, std::size_t total);
    std::size_t Sent() const noexcept { return FSent; }
    std::size_t Total() const noexcept { return FTotal; }

private:
    std::size_t FSent;
    std::size_t FTotal;
};

// A request to stop ended the sequence. DTR was turned off, so that the board is not left held
// in reset, and after a download RTS back on, as the open left it; `Sent` of `Total` image bytes
// had left the port (Total is 0 for the Reset command). `Started`: the stop came during a reset
// pulse with RTS on (the run reset, or the Reset command's pulse), so turning DTR off ended that
// pulse early and the board started its program; the message says so.
class EDownloadStopped : public Exception {
public:
    EDownloadStopped(std::size_t sent, std::size_t total, bool started = false);
    std::size_t Sent() const noexcept { return FSent; }
    std::size_t Total() const noexcept { return FTotal; }
    bool Started() const noexcept { return FStarted; }

private:
    std::size_t FSent;
    std::size_t FTotal;
    bool FStarted;
};

// What a download reports while it runs. Every method has an empty default; all are called on
// the thread that runs the download, in the order of the sequence.
class TDownloadObserver {
public:
    virtual ~TDownloadObserver() = default;

    // Panel 0's new text. `repaint`: show it at once, the command is still running. Only
    // StatusReadFile comes without repaint.
    virtual void Status(std::string_view text, bool repaint) {
        (void)text;
        (void)repaint;
    }
    // The image end of this download (panel 2, in decimal, shown at once). ImageEnd + 1 bytes
    // follow.
    virtual void ImageEnd(std::uint32_t imageEnd) { (void)imageEnd; }

    // The file could not be opened; `error` is the system's code (GetLastError). The download
    // ends here: the lines are not touched and no byte is sent. The window shows the
    // FileOpenErrorText box.
    virtual void FileOpenFailed(const std::string& fileName, DWORD error) {
        (void)fileName;
        (void)error;
    }
    // The file was read but must not be downloaded: a checksum mismatch, a malformed line, data
    // outside the image, a read that failed, or a file refused as a whole (not a regular file,
    // too large, no record at all) (HexLoadReport::Usable() is false;
    // HexProblemText(report) names the first bad line). The download ends here: the lines are
    // not touched and no byte is sent. StatusReadFile was reported (without repaint) before the
    // load; panel 0 should show again what it showed before the command.
    virtual void FileRefused(const std::string& fileName, const HexLoadReport& report) {
        (void)fileName;
        (void)report;
    }

    // True when the observer wants Progress calls during the write. The write is then started
    // asynchronously as one block and waited for, with Progress a few times a second; it is
    // still one write, and the sequence goes on only once it has completed. False (the
    // default): one plain synchronous Write.
    virtual bool WantsProgress() const { return false; }
    // `sent` of `total` bytes have left the port's output queue. Called with sent == 0 when the
    // write starts and with the count the write reported once it has completed (total, unless
    // it timed out).
    virtual void Progress(std::size_t sent, std::size_t total) {
        (void)sent;
        (void)total;
    }

    // An event that stops the sequence once it is set (a command line's Ctrl-C): a wait ends at
    // once, the write is aborted, and EDownloadStopped is raised. nullptr (the default): the
    // sequence runs to its end.
    virtual HANDLE StopEvent() const { return nullptr; }
};

enum TDownloadResult {
    drDone,          // the image was sent and the board started (LoadImage: the image is loaded)
    drFileNotOpened, // FileOpenFailed was reported; nothing reached the line
    drFileRefused,   // FileRefused was reported; nothing reached the line
};

// Gives `port` the settings of the main window's ComPort1: 9600 baud, "COM1", 8 data bits, no
// parity, one stop bit, no flow control (no CTS/DSR handshake, no XON/XOFF), DTR and RTS left
// to the program, an output queue of 34000 bytes (the whole image fits), all ten line events,
// and OnAfterOpen bound to ComPortOpen. Call it before the port is opened.
void ConfigureBoardPort(TCustomComPort& port);

// The port's OnAfterOpen handler: the idle state of the board's lines, RTS on, then DTR off.
void ComPortOpen(TCustomComPort& port);

// Loads the HEX file `fileName` for a download, without touching any port:
//  1. open the file for reading (OpenHexFile: existing file only, shared with other readers) —
//     on failure report FileOpenFailed and return drFileNotOpened;
//  2. StatusReadFile, load it with LoadHexFile into `image`, close it; an unusable file is
//     reported with FileRefused and the result is drFileRefused;
//  3. StatusFileReady; drDone.
TDownloadResult LoadImage(const std::string& fileName, HexImage& image,
                          TDownloadObserver& observer);

// The whole download of the HEX file `fileName`, as the window runs it:
//  1. open `port` unless it is open (its OnAfterOpen handler sets the idle state, RTS on and
//     DTR off); it stays open afterwards;
//  2. LoadImage; on a failure its result is returned, and the lines are not touched;
//  3. SendImage.
// Port failures raise EComPort (an open failure before the file is read).
TDownloadResult RunDownload(TCustomComPort& port, const std::string& fileName,
                            TDownloadObserver& observer);

// Steps after the load, on an open port: StatusFileTransfer, ImageEnd, then RTS off, DTR on,
// 250 ms, DTR off, 250 ms; ImageEnd + 1 bytes of `image` in one write; 250 ms, RTS on, DTR on,
// 250 ms, DTR off; StatusRun. A write that sends fewer bytes raises EDownload; the observer's
// StopEvent raises EDownloadStopped (during the run reset pulse the board is then started: all
// bytes are in, and holding it in reset with RTS off instead would make it load again; set
// before the sequence begins, RTS and DTR are not touched).
void SendImage(TCustomComPort& port, const HexImage& image, TDownloadObserver& observer);

// The Reset command: 50 ms, DTR on, 250 ms, DTR off. RTS is not touched and the port is not
// opened: on a port that was never opened the first line call raises EComPort. The event `stop`,
// once set, ends it with DTR off (EDownloadStopped); during the pulse that restarts the program
// (with RTS on, as the open leaves it) after a shortened pulse.
void ResetBoard(TCustomComPort& port, HANDLE stop = nullptr);

} // namespace zv
