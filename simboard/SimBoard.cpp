#include "simboard/SimBoard.h"

#include "platform/VirtualLine.h"
#include "simboard/ProgramRunner.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace zv {

namespace {

using Clock = TBoardEvent::Clock;

char ParityLetter(BYTE parity) {
    switch (parity) {
    case ODDPARITY:
        return 'O';
    case EVENPARITY:
        return 'E';
    case MARKPARITY:
        return 'M';
    case SPACEPARITY:
        return 'S';
    default:
        return 'N';
    }
}

std::uint8_t StopBitsHalf(BYTE stopBits) {
    switch (stopBits) {
    case ONE5STOPBITS:
        return 3;
    case TWOSTOPBITS:
        return 4;
    default:
        return 2;
    }
}

} // namespace

struct TSimBoard::Impl {
    TSimBoardOptions options;
    std::unique_ptr<VirtualLine> line;

    // Events in the order they were recorded. Bytes are recorded by the reader thread when it
    // takes them and by a line change that finds bytes not taken yet; the snapshot sorts by
    // time stamp, so bytes that reached the board before a change stand before it.
    // With a history limit the oldest events and notes are dropped, their line levels folded
    // into the initial ones.
    mutable std::mutex mutex;
    mutable std::vector<TBoardEvent> events;
    std::vector<TBoardNote> notes; // the program's
    // The line levels when the recording began.
    mutable bool initialRts = false;
    mutable bool initialDtr = false;

    // The board as it follows the line now: RTS, held in reset, storing a load, running its
    // program.
    bool liveRts = false;
    bool liveReset = false;
    bool liveLoading = false;
    bool liveRunning = false;
    // The program a start runs: the bytes of the last load, stored as they arrive (the same
    // reading as ReplayTranscript), so that a start does not replay the history.
    mutable std::vector<std::uint8_t> storedImage;

    // Paced bytes are taken in batches: within a burst they are stamped as having come back to
    // back at the character time after the previous ones, never later than they were taken.
    // A line change ends a burst, and no byte is stamped before the last change: bytes sent
    // after a change arrive after it.
    mutable bool inBurst = false;
    mutable Clock::time_point burstLast{};
    Clock::time_point lastChange{};

    std::unique_ptr<TProgramRunner> runner;
    std::jthread reader;

    // Appends `n` bytes, the last of which arrived at `at` (see inBurst), and hands them to a
    // running program. Caller holds the mutex.
    void Take(const std::uint8_t* data, std::size_t n, Clock::time_point at) const {
        const auto ct = options.Pacing
                            ? std::chrono::duration_cast<Clock::duration>(line->CharacterTime())
                            : Clock::duration::zero();
        const auto count = static_cast<Clock::duration::rep>(n);
        Clock::time_point last = at;
        if (inBurst)
            last = std::min(at, burstLast + ct * count);
        Clock::time_point first = last - ct * (count - 1);
        if (inBurst)
            first = std::max(first, std::min(burstLast + ct, last));
        first = std::max(first, lastChange);
        last = std::max(last, first);
        inBurst = true;
        burstLast = last;

        TBoardEvent e;
        e.Kind = beData;
        e.Time = first;
        e.LastTime = last;
        e.Bytes.assign(data, data + n);
        events.push_back(std::move(e));
        TrimHistory();
        if (liveLoading) {
            const std::size_t room =
                options.MemorySize - std::min(options.MemorySize, storedImage.size());
            storedImage.insert(storedImage.end(), data, data + std::min(room, n));
        }
        if (liveRunning && runner)
            runner->Feed(data, n);
    }

    // Keeps the history within the limit: once it holds more events (or notes) than that, the
    // oldest half goes. Caller holds the mutex.
    void TrimHistory() const {
        const std::size_t limit = options.HistoryLimit;
        if (limit == 0 || events.size() <= limit)
            return;
        std::stable_sort(
            events.begin(), events.end(),
            [](const TBoardEvent& a, const TBoardEvent& b) { return a.Time < b.Time; });
        const auto drop = static_cast<std::ptrdiff_t>(events.size() - limit / 2);
        for (auto e = events.begin(); e != events.begin() + drop; ++e) {
            if (e->Kind == beRts)
                initialRts = e->Level;
            else if (e->Kind == beDtr)
                initialDtr = e->Level;
        }
        events.erase(events.begin(), events.begin() + drop);
    }

    // Takes the bytes waiting at the far end, stamped as they arrived but no later than `at`.
    // Caller holds the mutex.
    void TakeWaitingBytes(Clock::time_point at) const {
        std::uint8_t buffer[4096];
        for (;;) {
            Clock::time_point arrived = at;
            const std::size_t n = line->TryRead(buffer, sizeof buffer, &arrived);
            if (n == 0)
                return;
            Take(buffer, n, std::min(arrived, at));
        }
    }

    // The transcript so far. Caller holds the mutex.
    TBoardTranscript Snapshot() const;

    void OnChange(const LineChange& change) {
        TBoardEvent e;
        e.Time = change.time;
        e.Level = change.level;
        switch (change.signal) {
        case LineSignal::Rts:
            e.Kind = beRts;
            break;
        case LineSignal::Dtr:
            e.Kind = beDtr;
            break;
        case LineSignal::Break:
            e.Kind = beBreak;
            break;
        case LineSignal::Open:
            e.Kind = change.level ? beOpen : beClose;
            break;
        case LineSignal::Config: {
            e.Kind = beConfig;
            const DCB dcb = line->Settings();
            e.Baud = dcb.BaudRate;
            e.DataBits = dcb.ByteSize;
            e.Parity = ParityLetter(dcb.Parity);
            e.StopBitsHalf = StopBitsHalf(dcb.StopBits);
            break;
        }
        }
        std::lock_guard lock(mutex);
        TakeWaitingBytes(change.time);
        events.push_back(std::move(e));
        TrimHistory();
        inBurst = false;
        lastChange = std::max(lastChange, change.time);
        Follow(change);
    }

    // Starts and stops the program and begins loads as the hardware follows its reset and mode
    // lines (the same reading as ReplayTranscript). Caller holds the mutex.
    void Follow(const LineChange& change) {
        switch (change.signal) {
        case LineSignal::Rts:
            liveRts = change.level;
            break;
        case LineSignal::Dtr:
            if (change.level) {
                liveReset = true;
                liveLoading = false;
                if (liveRunning && runner)
                    runner->Stop(liveRts ? "reset" : "load reset");
                liveRunning = false;
            } else if (liveReset) {
                liveReset = false;
                if (liveRts) {
                    liveRunning = true;
                    if (runner)
                        runner->Start(storedImage, {});
                } else {
                    liveLoading = true;
                    storedImage.clear();
                }
            }
            break;
        case LineSignal::Open:
            if (!change.level && liveRunning) {
                liveRunning = false;
                if (runner)
                    runner->Stop("port closed");
            }
            break;
        case LineSignal::Break:
        case LineSignal::Config:
            break;
        }
    }

    void OnNote(const TProgramNote& note) {
        std::lock_guard lock(mutex);
        notes.push_back(TBoardNote{Clock::now(), note.Text, note.Failure});
        if (options.HistoryLimit != 0 && notes.size() > options.HistoryLimit)
            notes.erase(notes.begin(),
                        notes.end() - static_cast<std::ptrdiff_t>(options.HistoryLimit / 2));
    }

    // Waits without a time-out for the first byte of a burst, then takes paced bytes in batches
    // of a few dozen character times instead of waking for each.
    void ReadLoop(std::stop_token stop) {
        std::uint8_t buffer[4096];
        std::mutex batchMutex;
        std::condition_variable_any batchWait;
        while (!stop.stop_requested()) {
            if (!line->WaitAvailable(stop))
                continue;
            {
                // Taken under the board's lock, so a line change that comes meanwhile either
                // takes these bytes first (they came before it) or is recorded before them.
                std::lock_guard lock(mutex);
                inBurst = false;
                Clock::time_point arrived = Clock::now();
                const std::size_t n = line->TryRead(buffer, sizeof buffer, &arrived);
                if (n == 0)
                    continue;
                Take(buffer, n, arrived);
            }
            for (;;) {
                const auto batch = std::clamp<Clock::duration>(
                    std::chrono::duration_cast<Clock::duration>(line->CharacterTime() * 32),
                    std::chrono::milliseconds(1), std::chrono::milliseconds(20));
                if (options.Pacing) {
                    std::unique_lock lock(batchMutex);
                    if (batchWait.wait_for(lock, stop, batch, [] { return false; }))
                        return;
                    if (stop.stop_requested())
                        return;
                }
                std::lock_guard lock(mutex);
                Clock::time_point arrived = Clock::now();
                const std::size_t n = line->TryRead(buffer, sizeof buffer, &arrived);
                if (n == 0) {
                    inBurst = false;
                    break;
                }
                Take(buffer, n, arrived);
            }
        }
    }
};

TSimBoard::TSimBoard(TSimBoardOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->line = VirtualLine::Create(impl_->options.PortName);
    impl_->line->SetPacing(impl_->options.Pacing);
    impl_->initialRts = impl_->line->Rts();
    impl_->initialDtr = impl_->line->Dtr();
    impl_->liveRts = impl_->initialRts;
    impl_->liveReset = impl_->initialDtr;
    Impl* impl = impl_.get();
    if (impl_->options.RunPrograms) {
        TProgramRunnerOptions run;
        run.Simulator = impl_->options.Simulator;
        run.StartTimeout = impl_->options.SimulatorStartTimeout;
        impl_->runner = std::make_unique<TProgramRunner>(
            *impl_->line, run, [impl](const TProgramNote& note) { impl->OnNote(note); });
    }
    impl_->line->OnChange([impl](const LineChange& change) { impl->OnChange(change); });
    impl_->reader = std::jthread([impl](std::stop_token stop) { impl->ReadLoop(stop); });
}

TSimBoard::~TSimBoard() {
    // Waits for a change callback that is running; none starts afterwards.
    impl_->line->OnChange({});
    impl_->reader.request_stop();
    impl_->reader.join();
    impl_->runner.reset(); // stops s51 and waits for it
}

const std::string& TSimBoard::PortName() const {
    return impl_->line->Name();
}

VirtualLine& TSimBoard::Line() {
    return *impl_->line;
}

TBoardTranscript TSimBoard::Impl::Snapshot() const {
    TBoardTranscript transcript;
    transcript.PortName = line->Name();
    transcript.Pacing = options.Pacing;
    transcript.InitialRts = initialRts;
    transcript.InitialDtr = initialDtr;
    transcript.Program = notes;
    std::vector<TBoardEvent> raw = events;
    std::stable_sort(raw.begin(), raw.end(),
                     [](const TBoardEvent& a, const TBoardEvent& b) { return a.Time < b.Time; });

    // One data event per run of bytes with no line change between; line levels after each.
    bool rts = transcript.InitialRts;
    bool dtr = transcript.InitialDtr;
    for (TBoardEvent& e : raw) {
        if (e.Kind == beData && !transcript.Events.empty() &&
            transcript.Events.back().Kind == beData) {
            TBoardEvent& last = transcript.Events.back();
            last.Bytes.insert(last.Bytes.end(), e.Bytes.begin(), e.Bytes.end());
            last.LastTime = e.LastTime;
            continue;
        }
        switch (e.Kind) {
        case beRts:
            rts = e.Level;
            break;
        case beDtr:
            dtr = e.Level;
            break;
        default:
            break;
        }
        e.Rts = rts;
        e.Dtr = dtr;
        transcript.Events.push_back(std::move(e));
    }
    return transcript;
}

TBoardTranscript TSimBoard::Transcript() const {
    // The program's starts and stops the line asked for so far are part of "so far".
    SyncProgram();
    std::lock_guard lock(impl_->mutex);
    impl_->TakeWaitingBytes(Clock::now());
    return impl_->Snapshot();
}

TBoardState TSimBoard::State() const {
    return ReplayTranscript(Transcript(), impl_->options.MemorySize);
}

void TSimBoard::ClearTranscript() {
    std::lock_guard lock(impl_->mutex);
    // Bytes that reached the board and wait to be taken are the board's like any other: stored
    // by a load in progress, fed to a running program. Only their record is forgotten.
    impl_->TakeWaitingBytes(Clock::now());
    impl_->inBurst = false;
    impl_->events.clear();
    impl_->notes.clear();
    impl_->initialRts = impl_->line->Rts();
    impl_->initialDtr = impl_->line->Dtr();
}

bool TSimBoard::WaitOpen(bool open, std::chrono::milliseconds timeout) const {
    return impl_->line->WaitOpen(open, timeout);
}

void TSimBoard::SyncProgram() const {
    if (impl_->runner)
        impl_->runner->Sync();
}

long TSimBoard::ProgramPid() const {
    return impl_->runner ? impl_->runner->RunningPid() : 0;
}

std::vector<std::uint8_t> TSimBoard::StoredImage() const {
    std::lock_guard lock(impl_->mutex);
    impl_->TakeWaitingBytes(Clock::now());
    return impl_->storedImage;
}

std::size_t TSimBoard::HistorySize() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->events.size();
}

std::vector<TBoardNote> TSimBoard::ProgramFailures() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<TBoardNote> failures;
    for (const TBoardNote& note : impl_->notes)
        if (note.Failure)
            failures.push_back(note);
    return failures;
}

} // namespace zv
