#ifndef _WIN32

#include "simboard/SimBoard.h"

#include "platform/VirtualLine.h"

#include <algorithm>
#include <atomic>
#include <mutex>
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
    mutable std::mutex mutex;
    mutable std::vector<TBoardEvent> events;
    // The line levels when the recording began.
    bool initialRts = false;
    bool initialDtr = false;

    std::atomic<bool> stop{false};
    std::thread reader;

    // Appends the bytes waiting at the far end as one data event stamped `at`. Caller holds
    // the mutex.
    void TakeWaitingBytes(Clock::time_point at) const {
        std::uint8_t buffer[4096];
        for (;;) {
            const std::size_t n = line->TryRead(buffer, sizeof buffer);
            if (n == 0)
                return;
            AppendData(buffer, n, at);
        }
    }

    void AppendData(const std::uint8_t* data, std::size_t n, Clock::time_point at) const {
        TBoardEvent e;
        e.Kind = beData;
        e.Time = at;
        e.LastTime = at;
        e.Bytes.assign(data, data + n);
        events.push_back(std::move(e));
    }

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
    }

    void ReadLoop() {
        std::uint8_t buffer[4096];
        while (!stop.load()) {
            const std::size_t n = line->Read(buffer, sizeof buffer, std::chrono::milliseconds(100));
            if (n == 0)
                continue;
            const Clock::time_point at = Clock::now();
            std::lock_guard lock(mutex);
            AppendData(buffer, n, at);
        }
    }
};

TSimBoard::TSimBoard(TSimBoardOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    impl_->line = VirtualLine::Create(impl_->options.PortName);
    impl_->line->SetPacing(impl_->options.Pacing);
    impl_->initialRts = impl_->line->Rts();
    impl_->initialDtr = impl_->line->Dtr();
    Impl* impl = impl_.get();
    impl_->line->OnChange([impl](const LineChange& change) { impl->OnChange(change); });
    impl_->reader = std::thread([impl] { impl->ReadLoop(); });
}

TSimBoard::~TSimBoard() {
    // Waits for a change callback that is running; none starts afterwards.
    impl_->line->OnChange({});
    impl_->stop = true;
    impl_->reader.join();
}

const std::string& TSimBoard::PortName() const {
    return impl_->line->Name();
}

VirtualLine& TSimBoard::Line() {
    return *impl_->line;
}

TBoardTranscript TSimBoard::Transcript() const {
    TBoardTranscript transcript;
    transcript.PortName = impl_->line->Name();
    transcript.Pacing = impl_->options.Pacing;
    std::vector<TBoardEvent> raw;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->TakeWaitingBytes(Clock::now());
        raw = impl_->events;
        transcript.InitialRts = impl_->initialRts;
        transcript.InitialDtr = impl_->initialDtr;
    }
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

TBoardState TSimBoard::State() const {
    return ReplayTranscript(Transcript(), impl_->options.MemorySize);
}

void TSimBoard::ClearTranscript() {
    std::lock_guard lock(impl_->mutex);
    std::uint8_t buffer[4096];
    while (impl_->line->TryRead(buffer, sizeof buffer) > 0) {
    }
    impl_->events.clear();
    impl_->initialRts = impl_->line->Rts();
    impl_->initialDtr = impl_->line->Dtr();
}

bool TSimBoard::WaitOpen(bool open, std::chrono::milliseconds timeout) const {
    return impl_->line->WaitOpen(open, timeout);
}

} // namespace zv

#endif // _WIN32
