#include "app/core/Download.h"

#include "cport/ComAsync.h"
#include "cport/ComPort.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>

namespace zv {

namespace {

// How often a write with progress reports how far it got.
constexpr DWORD ProgressIntervalMs = 200;

// Ends a write that is still pending. The record must not be freed while the device still
// works on it: the aborted write is waited for (the wait then reports the abort, which is the
// end of it). A write that cannot be aborted (the device has gone wrong) may never end: its
// record is left allocated rather than freed under it.
void AbortWrite(TCustomComPort& port, TAsyncHolder& async) {
    bool aborted = false;
    try {
        port.AbortAllAsync();
        aborted = true;
        port.WaitForAsync(async.Get());
    } catch (...) {
    }
    if (!aborted)
        async.Abandon();
}

// A stopped sequence ends with the board released from reset: DTR off first, so that the board
// does not start a program it may hold only part of, then RTS back on as the open left it.
// `inRunPulse`: the stop came during a reset pulse with RTS on (the run reset, the Reset
// command), so releasing DTR ends that pulse early and the board starts its program.
[[noreturn]] void Stopped(TCustomComPort& port, std::size_t sent, std::size_t total,
                          bool inRunPulse = false) {
    port.SetDTR(false);
    if (total > 0)
        port.SetRTS(true);
    throw EDownloadStopped(sent, total, inRunPulse);
}

// Waits `ms`, or until `stop` (if any) is set; false then.
bool Pause(DWORD ms, HANDLE stop) {
    if (stop == nullptr) {
        Sleep(ms);
        return true;
    }
    return WaitForSingleObject(stop, ms) != WAIT_OBJECT_0;
}

// One write of the whole block, started asynchronously and waited for while the output queue
// drains, with progress if the observer wants it, and ended early by its stop event. The
// sequence goes on only once the write has completed.
std::size_t WriteWatched(TCustomComPort& port, std::span<const std::uint8_t> bytes,
                         TDownloadObserver& observer) {
    const auto count = static_cast<std::int32_t>(bytes.size());
    const std::size_t total = bytes.size();
    const bool progress = observer.WantsProgress();
    const HANDLE stop = observer.StopEvent();
    TAsyncHolder async;
    if (progress)
        observer.Progress(0, total);
    port.WriteAsync(bytes.data(), count, async.Get());
    const auto unsent = [&] {
        return std::min(static_cast<std::size_t>(std::max(port.OutputCount(), 0)), total);
    };
    std::optional<std::size_t> sentAtStop;
    try {
        const HANDLE handles[2] = {async.Get()->OverlappedRec.hEvent, stop};
        for (;;) {
            const DWORD woke =
                WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, ProgressIntervalMs);
            if (woke == WAIT_OBJECT_0)
                break;
            if (woke == WAIT_OBJECT_0 + 1) {
                sentAtStop = total - unsent();
                break;
            }
            if (progress)
                observer.Progress(total - unsent(), total);
        }
    } catch (...) {
        AbortWrite(port, async);
        throw;
    }
    if (sentAtStop) {
        AbortWrite(port, async);
        Stopped(port, *sentAtStop, total);
    }
    const auto sent = static_cast<std::size_t>(std::max(port.WaitForAsync(async.Get()), 0));
    if (progress)
        observer.Progress(std::min(sent, total), total);
    return sent;
}

void WriteImage(TCustomComPort& port, const HexImage& image, TDownloadObserver& observer) {
    const std::span<const std::uint8_t> bytes = image.DownloadBytes();
    static_assert(HexImageSize + 1 <= std::numeric_limits<std::int32_t>::max());
    const std::size_t sent =
        observer.WantsProgress() || observer.StopEvent() != nullptr
            ? WriteWatched(port, bytes, observer)
            : static_cast<std::size_t>(
                  std::max(port.Write(bytes.data(), static_cast<std::int32_t>(bytes.size())), 0));
    // A time-out ends a write early without an error; starting the board on part of its
    // program would report a failed download as done.
    if (sent < bytes.size())
        throw EDownload(sent, bytes.size());
}

} // namespace

EDownload::EDownload(std::size_t sent, std::size_t total)
    : Exception("The write timed out: " + std::to_string(sent) + " of " + std::to_string(total) +
                " bytes were sent; the board did not get the whole program"),
      FSent(sent), FTotal(total) {}

namespace {

std::string StoppedText(std::size_t sent, std::size_t total, bool started) {
    if (total == 0)
        return started ? "Stopped during the reset pulse; the board restarted its program after a "
                         "shortened reset pulse"
                       : "Stopped before the reset ended";
    if (sent < total)
        return "Stopped: " + std::to_string(sent) + " of " + std::to_string(total) +
               " bytes were sent; the board did not get the whole program";
    return "Stopped after all " + std::to_string(total) + " bytes were sent, " +
           (started ? "during the run reset; the board started the program after a shortened "
                      "reset pulse"
                    : "before the board was started");
}

} // namespace

EDownloadStopped::EDownloadStopped(std::size_t sent, std::size_t total, bool started)
    : Exception(StoppedText(sent, total, started)), FSent(sent), FTotal(total), FStarted(started) {}

void ConfigureBoardPort(TCustomComPort& port) {
    port.BeginUpdate();
    port.SetBaudRate(br9600);
    port.SetPort("COM1");
    port.Parity()->SetBits(prNone);
    port.SetStopBits(sbOneStopBit);
    port.SetDataBits(dbEight);
    port.SetEvents(AllComEvents);
    port.Buffer()->SetOutputSize(34000);
    TComFlowControl* flow = port.FlowControl();
    flow->SetOutCTSFlow(false);
    flow->SetOutDSRFlow(false);
    // Disabled, the driver drives neither line: applying the settings turns both off and only
    // the sequences move them afterwards.
    flow->SetControlDTR(dtrDisable);
    flow->SetControlRTS(rtsDisable);
    flow->SetXonXoffOut(false);
    flow->SetXonXoffIn(false);
    port.OnAfterOpen = [&port](TObject*) { ComPortOpen(port); };
    port.EndUpdate();
}

void ComPortOpen(TCustomComPort& port) {
    port.SetRTS(true);
    port.SetDTR(false);
}

TDownloadResult LoadImage(const std::string& fileName, HexImage& image,
                          TDownloadObserver& observer) {
    if (std::string refusal = HexPathRefusal(fileName); !refusal.empty()) {
        observer.Status(StatusReadFile, false);
        HexLoadReport report;
        report.Refused = std::move(refusal);
        observer.FileRefused(fileName, report);
        return drFileRefused;
    }
    const HANDLE file = OpenHexFile(fileName);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        observer.FileOpenFailed(fileName, error);
        return drFileNotOpened;
    }
    observer.Status(StatusReadFile, false);
    const HexLoadReport report = LoadHexFile(file, image);
    CloseHandle(file);
    // A file with damaged records would put wrong code into the board; it never reaches the line.
    if (!report.Usable()) {
        observer.FileRefused(fileName, report);
        return drFileRefused;
    }
    observer.Status(StatusFileReady, true);
    return drDone;
}

TDownloadResult RunDownload(TCustomComPort& port, const std::string& fileName,
                            TDownloadObserver& observer) {
    port.Open();
    HexImage image;
    const TDownloadResult loaded = LoadImage(fileName, image, observer);
    if (loaded != drDone)
        return loaded;
    SendImage(port, image, observer);
    return drDone;
}

void SendImage(TCustomComPort& port, const HexImage& image, TDownloadObserver& observer) {
    observer.Status(StatusFileTransfer, true);
    observer.ImageEnd(image.ImageEnd);
    const HANDLE stop = observer.StopEvent();
    const std::size_t total = image.DownloadBytes().size();
    const auto pause = [&](DWORD ms, std::size_t sent, bool inRunPulse = false) {
        if (!Pause(ms, stop))
            Stopped(port, sent, total, inRunPulse);
    };

    // A stop asked for before the sequence begins leaves the lines alone: even a load reset cut
    // short puts the board into load mode, and it loses its stored program to nothing.
    if (!Pause(0, stop))
        throw EDownloadStopped(0, total);

    // Load reset: RTS (mode) off during the DTR (reset) pulse makes the board store what follows.
    port.SetRTS(false);
    port.SetDTR(true);
    pause(DownloadPulseMs, 0);
    port.SetDTR(false);
    pause(DownloadPulseMs, 0);

    WriteImage(port, image, observer);

    // Run reset: RTS on during the pulse starts the program.
    pause(DownloadPulseMs, total);
    port.SetRTS(true);
    port.SetDTR(true);
    pause(DownloadPulseMs, total, true);
    port.SetDTR(false);

    observer.Status(StatusRun, true);
}

void ResetBoard(TCustomComPort& port, HANDLE stop) {
    if (!Pause(ResetLeadMs, stop))
        throw EDownloadStopped(0, 0);
    port.SetDTR(true);
    if (!Pause(DownloadPulseMs, stop))
        Stopped(port, 0, 0, true);
    port.SetDTR(false);
}

} // namespace zv
