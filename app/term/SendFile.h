// TSendFileJob: sends a block of bytes through an open port without blocking the window.
//
// The bytes go out as a series of asynchronous writes, one slice at a time, each slice about a
// tenth of a second of the line's speed; a timer of the GUI thread looks every few milliseconds
// whether the slice has left the port and then starts the next one. So the window keeps
// handling events (received data, typing, Cancel) while a long file goes out, and every port
// call is made on the GUI thread.
//
// The job ends once, with OnFinished: sfDone after the last byte, sfCancelled after Cancel (the
// pending write is aborted, so a line held by flow control does not keep it), sfFailed when a
// write fails or ends early (the port's write time-out), with the failure.
#pragma once

#include "cport/ComAsync.h"
#include "toolkit/Exception.h"

#include <QObject>
#include <QTimer>

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

namespace zv {

class TCustomComPort;

enum TSendResult { sfDone, sfCancelled, sfFailed };

// A write ended before all its bytes had left the port: the line did not take them within the
// port's write time-out (flow control holding it, or a speed too low for the time-outs).
class ESendIncomplete : public Exception {
public:
    ESendIncomplete(std::size_t Sent, std::size_t Total);
};

class TSendFileJob : public QObject {
public:
    // Port must be open, and outlive the job or end it with Cancel first.
    TSendFileJob(TCustomComPort& Port, std::string Data, QObject* Parent = nullptr);
    // Cancels a running job (without OnFinished).
    ~TSendFileJob() override;

    // Starts the first write. A write the port refuses at once ends the job (sfFailed) before
    // Start returns.
    void Start();
    // Aborts the pending write and ends the job with sfCancelled. Nothing when not running.
    void Cancel();

    bool Running() const noexcept { return FRunning; }
    std::size_t Sent() const noexcept { return FSent; }
    std::size_t Total() const noexcept { return FData.size(); }

    // Bytes that have left the port so far, of the total; after every slice.
    std::function<void(std::size_t Sent, std::size_t Total)> OnProgress;
    // The end of the job; Error is the failure for sfFailed (an EComPort from the port, or
    // ESendIncomplete), else empty. The job may be destroyed from inside it.
    std::function<void(TSendResult Result, std::exception_ptr Error)> OnFinished;

    // The size of one slice at the port's current speed: a tenth of a second, at least 16 bytes.
    static std::size_t SliceSize(const TCustomComPort& Port);

private:
    void StartSlice();
    void Poll();
    // Stops the job and raises OnFinished.
    void Finish(TSendResult Result, std::exception_ptr Error);
    // Aborts and collects a pending write; failures are of no interest any more.
    void AbandonPending() noexcept;

    TCustomComPort& FPort;
    std::string FData;
    std::size_t FSent = 0;
    std::size_t FSlice = 0;  // bytes in the pending write
    PAsync FAsync = nullptr; // the pending write's record, nullptr when none
    QTimer FPoll;
    bool FRunning = false;
};

} // namespace zv
