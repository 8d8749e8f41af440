#include "app/term/SendFile.h"

#include "cport/ComPort.h"
#include "cport/ComTypes.h"

#include <algorithm>
#include <utility>

namespace zv {

namespace {

// How often the GUI thread looks whether the pending slice has left the port.
constexpr int PollMs = 10;

} // namespace

ESendIncomplete::ESendIncomplete(std::size_t Sent, std::size_t Total)
    : Exception("the line took only " + std::to_string(Sent) + " of " + std::to_string(Total) +
                " bytes within the port's write time-out") {}

TSendFileJob::TSendFileJob(TCustomComPort& Port, std::string Data, QObject* Parent)
    : QObject(Parent), FPort(Port), FData(std::move(Data)) {
    FPoll.setInterval(PollMs);
    QObject::connect(&FPoll, &QTimer::timeout, this, [this] { Poll(); });
}

TSendFileJob::~TSendFileJob() {
    AbandonPending();
}

std::size_t TSendFileJob::SliceSize(const TCustomComPort& Port) {
    const DWORD rate = BaudRateToWin32(Port.BaudRate(), Port.CustomBaudRate());
    // About ten bits a character on the line.
    return std::max<std::size_t>(16, rate / 100);
}

void TSendFileJob::Start() {
    if (FRunning)
        return;
    FRunning = true;
    FSent = 0;
    if (OnProgress)
        OnProgress(0, FData.size());
    if (FData.empty()) {
        Finish(sfDone, nullptr);
        return;
    }
    FPoll.start();
    StartSlice();
}

void TSendFileJob::StartSlice() {
    try {
        FSlice = std::min(SliceSize(FPort), FData.size() - FSent);
        InitAsync(FAsync);
        FPort.WriteAsync(FData.data() + FSent, static_cast<std::int32_t>(FSlice), FAsync);
    } catch (...) {
        DoneAsync(FAsync); // nothing is pending after a refused start
        Finish(sfFailed, std::current_exception());
    }
}

void TSendFileJob::Poll() {
    if (!FRunning || FAsync == nullptr)
        return;
    std::size_t written = 0;
    try {
        if (!FPort.IsAsyncCompleted(FAsync))
            return;
        written = static_cast<std::size_t>(FPort.WaitForAsync(FAsync));
    } catch (...) {
        AbandonPending();
        Finish(sfFailed, std::current_exception());
        return;
    }
    DoneAsync(FAsync);
    FSent += written;
    if (OnProgress)
        OnProgress(FSent, FData.size());
    if (written < FSlice) {
        Finish(sfFailed, std::make_exception_ptr(ESendIncomplete(FSent, FData.size())));
        return;
    }
    if (FSent == FData.size())
        Finish(sfDone, nullptr);
    else
        StartSlice();
}

void TSendFileJob::Cancel() {
    if (!FRunning)
        return;
    AbandonPending();
    Finish(sfCancelled, nullptr);
}

void TSendFileJob::AbandonPending() noexcept {
    if (FAsync == nullptr)
        return;
    try {
        // The write's bytes still in the output queue go too: Cancel stops the line at once.
        FPort.AbortAllAsync();
        FPort.ClearBuffer(false, true);
    } catch (...) {
        // A device that is gone has nothing pending left to abort.
    }
    try {
        FPort.WaitForAsync(FAsync);
    } catch (...) {
        // Aborted: ERROR_OPERATION_ABORTED, which is what was asked for.
    }
    DoneAsync(FAsync);
}

void TSendFileJob::Finish(TSendResult Result, std::exception_ptr Error) {
    FPoll.stop();
    FRunning = false;
    if (OnFinished)
        OnFinished(Result, std::move(Error));
}

} // namespace zv
