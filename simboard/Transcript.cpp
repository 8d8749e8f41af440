#include "simboard/Transcript.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace zv {

namespace {

using Clock = TBoardEvent::Clock;

std::string Printf(const char* format, auto... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

std::string OnOff(bool level) {
    return level ? "on" : "off";
}

std::string LineFormat(const TBoardEvent& e) {
    std::string stop = e.StopBitsHalf == 3 ? "1.5" : std::to_string(e.StopBitsHalf / 2);
    return Printf("%u baud %u%c%s", unsigned{e.Baud}, unsigned{e.DataBits}, e.Parity, stop.c_str());
}

// One character's time on the line, in milliseconds, at the settings of a beConfig event.
double CharacterMs(const TBoardEvent& config) {
    if (config.Baud == 0)
        return 0;
    const double bits =
        1.0 + config.DataBits + (config.Parity == 'N' ? 0 : 1) + config.StopBitsHalf / 2.0;
    return bits * 1000.0 / config.Baud;
}

std::string HexPreview(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < count; ++i)
        text += Printf(i == 0 ? "%02X" : " %02X", unsigned{bytes[i]});
    if (bytes.size() > count)
        text += " ...";
    return text;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The judge's walk over a transcript.
class Judge {
public:
    Judge(const TBoardTranscript& transcript, const TJudgeOptions& options)
        : t_(transcript), o_(options) {
        verdict_.Options = options;
        rts_ = transcript.InitialRts;
        dtr_ = transcript.InitialDtr;
        pulseBeforeStart_ = dtr_;
    }

    TBoardVerdict Run() {
        for (const TBoardEvent& e : t_.Events) {
            switch (e.Kind) {
            case beOpen:
                OnOpen(e);
                break;
            case beClose:
                OnClose(e);
                break;
            case beConfig:
                config_ = e;
                break;
            case beRts:
                OnRts(e);
                break;
            case beDtr:
                e.Level ? OnDtrOn(e) : OnDtrOff(e);
                break;
            case beBreak:
                if (e.Level)
                    Deviation(e.Time, "break condition on the line");
                break;
            case beData:
                OnData(e);
                break;
            }
        }
        if (mode_ == bmLoading)
            Deviation(loadStart_, "the load was never followed by a run reset: the board "
                                  "does not start the program");
        return verdict_;
    }

private:
    double Ms(Clock::time_point time) const { return t_.Ms(time); }
    double Between(Clock::time_point a, Clock::time_point b) const {
        return std::chrono::duration<double, std::milli>(b - a).count();
    }

    void Deviation(Clock::time_point at, const std::string& what) {
        verdict_.Deviations.push_back(Printf("at %.1f ms: ", Ms(at)) + what);
    }
    void Note(Clock::time_point at, const std::string& what) {
        verdict_.Notes.push_back(Printf("at %.1f ms: ", Ms(at)) + what);
    }
    // Checks one duration against its nominal value; true when accepted.
    bool Check(Clock::time_point at, const char* what, double ms, double nominal) {
        if (ms >= o_.MinMs(nominal) && ms <= o_.MaxMs(nominal))
            return true;
        Deviation(at, Printf("%s %.1f ms, expected %.0f ms (accepted %.0f-%.0f ms)", what, ms,
                             nominal, o_.MinMs(nominal), o_.MaxMs(nominal)));
        return false;
    }

    // True when a line change at `at` comes from the platform opening the port: a movement
    // of the lines within the first moments after the open.
    bool AtOpen(Clock::time_point at) const {
        return opened_ && Between(*opened_, at) <= o_.OpenWindowMs;
    }

    void OnOpen(const TBoardEvent& e) {
        opened_ = e.Time;
        rts_ = e.Rts;
        dtr_ = e.Dtr;
        if (dtr_)
            StartPulse(e.Time, true);
    }

    void OnClose(const TBoardEvent& e) {
        if (dtr_)
            Note(e.Time, "DTR still on when the port closed: a real board stays in reset");
        if (mode_ == bmLoading) {
            Deviation(e.Time, "the port closed during a load: the board never got a run reset");
            mode_ = bmNotReset;
        }
        opened_.reset();
    }

    void StartPulse(Clock::time_point at, bool byPlatform) {
        pulseBeforeStart_ = false;
        pulseStart_ = at;
        pulseRts_ = rts_;
        pulseByPlatform_ = byPlatform;
    }

    void OnRts(const TBoardEvent& e) {
        rts_ = e.Level;
        if (dtr_ && !pulseByPlatform_)
            Deviation(e.Time, "RTS went " + OnOff(e.Level) +
                                  " during a reset pulse: the board's mode is undefined");
        if (e.Level)
            rtsOn_ = e.Time;
    }

    void OnDtrOn(const TBoardEvent& e) {
        dtr_ = true;
        StartPulse(e.Time, AtOpen(e.Time));
    }

    void OnDtrOff(const TBoardEvent& e) {
        dtr_ = false;
        if (pulseBeforeStart_) {
            // A reset that began before the transcript: only its end is known.
            pulseBeforeStart_ = false;
            mode_ = e.Rts ? bmRunning : bmLoading;
            if (mode_ == bmLoading) {
                pulseStart_ = e.Time;
                current_ = {};
                current_.StartMs = Ms(e.Time);
                BeginLoad(e);
            }
            return;
        }
        const double width = Between(pulseStart_, e.Time);
        // A pulse the open began but the program ended is the program's.
        if (pulseByPlatform_ && !AtOpen(e.Time))
            pulseByPlatform_ = false;
        if (pulseByPlatform_) {
            // The board takes its mode from RTS as the reset ends.
            Note(pulseStart_, Printf("DTR pulse of %.1f ms as the port opened (the platform's "
                                     "doing), RTS %s as it ended: a real board resets and %s",
                                     width, OnOff(e.Rts).c_str(),
                                     e.Rts ? "runs its program" : "waits for a program"));
            if (mode_ == bmLoading)
                Deviation(pulseStart_, "the load was interrupted by a reset");
            mode_ = e.Rts ? bmRunning : bmLoading;
            if (mode_ == bmLoading)
                BeginLoad(e);
            return;
        }
        if (!pulseRts_)
            LoadReset(e, width);
        else if (mode_ == bmLoading)
            RunReset(e, width);
        else {
            Check(pulseStart_, "reset pulse", width, o_.PulseMs);
            ++verdict_.Resets;
            mode_ = bmRunning;
        }
    }

    void BeginLoad(const TBoardEvent& e) {
        mode_ = bmLoading;
        loadStart_ = pulseStart_;
        loadResetEnd_ = e.Time;
        bytes_.clear();
        firstByte_.reset();
        lastByte_.reset();
        rtsOn_.reset();
    }

    void LoadReset(const TBoardEvent& e, double width) {
        if (mode_ == bmLoading)
            Deviation(loadStart_, "the load was never followed by a run reset: a new load "
                                  "reset came first");
        Check(pulseStart_, "load reset pulse", width, o_.PulseMs);
        current_ = {};
        current_.StartMs = Ms(pulseStart_);
        current_.LoadResetMs = width;
        BeginLoad(e);
    }

    void RunReset(const TBoardEvent& e, double width) {
        TBoardDownload& d = current_;
        d.Bytes = bytes_.size();
        d.RunResetMs = width;
        const Clock::time_point transferEnd = lastByte_ ? *lastByte_ : loadResetEnd_;
        const Clock::time_point runRts = rtsOn_ ? *rtsOn_ : pulseStart_;
        d.AfterWriteMs = Between(transferEnd, runRts);
        if (firstByte_) {
            d.SettleMs = Between(loadResetEnd_, *firstByte_);
            d.TransferMs = Between(*firstByte_, *lastByte_);
            const double characterMs = t_.Pacing ? CharacterMs(config_) : 0;
            Check(loadResetEnd_, "settle before the first byte", d.SettleMs,
                  o_.PulseMs + characterMs);
            Check(transferEnd, "wait after the last byte", d.AfterWriteMs, o_.PulseMs);
        } else {
            d.SettleMs = -1;
            Deviation(loadResetEnd_, "no byte arrived between the load reset and the run reset "
                                     "(a download sends at least one)");
        }
        Check(runRts, "RTS on to the run reset's DTR on:", Between(runRts, pulseStart_), 0);
        Check(pulseStart_, "run reset pulse", width, o_.PulseMs);
        if (o_.Image)
            CompareImage(*o_.Image);
        verdict_.Downloads.push_back(d);
        mode_ = bmRunning;
        (void)e;
    }

    void CompareImage(const std::vector<std::uint8_t>& image) {
        const Clock::time_point at = firstByte_ ? *firstByte_ : loadResetEnd_;
        if (bytes_.size() != image.size()) {
            Deviation(at, Printf("%zu bytes arrived, expected %zu (image end %zu + 1)",
                                 bytes_.size(), image.size(), image.size() - 1));
        }
        const std::size_t n = std::min(bytes_.size(), image.size());
        const auto diff =
            std::mismatch(bytes_.begin(), bytes_.begin() + static_cast<long>(n), image.begin());
        if (diff.first != bytes_.begin() + static_cast<long>(n)) {
            const auto address = static_cast<std::size_t>(diff.first - bytes_.begin());
            Deviation(at, Printf("byte at address 0x%04zX is 0x%02X, expected 0x%02X", address,
                                 unsigned{*diff.first}, unsigned{*diff.second}));
        }
    }

    void OnData(const TBoardEvent& e) {
        const std::string count = Plural(e.Bytes.size(), "byte", "bytes");
        if (dtr_) {
            Deviation(e.Time, count + " arrived during a reset pulse: the board ignores them");
            return;
        }
        if (mode_ != bmLoading) {
            Deviation(e.Time, count + " arrived while the board was " + BoardModeName(mode_) +
                                  ", not loading");
            return;
        }
        if (rtsOn_)
            Deviation(e.Time, count + " arrived after RTS went on: the transfer should be over");
        if (!firstByte_)
            firstByte_ = e.Time;
        lastByte_ = e.LastTime;
        bytes_.insert(bytes_.end(), e.Bytes.begin(), e.Bytes.end());
    }

    const TBoardTranscript& t_;
    const TJudgeOptions& o_;
    TBoardVerdict verdict_;

    TBoardEvent config_;
    std::optional<Clock::time_point> opened_;
    bool rts_ = false;
    bool dtr_ = false;
    TBoardMode mode_ = bmNotReset;

    Clock::time_point pulseStart_{};
    bool pulseRts_ = false;
    bool pulseByPlatform_ = false;
    bool pulseBeforeStart_ = false; // DTR was on when the transcript began
    std::optional<Clock::time_point> rtsOn_;

    TBoardDownload current_;
    Clock::time_point loadStart_{};
    Clock::time_point loadResetEnd_{};
    std::optional<Clock::time_point> firstByte_;
    std::optional<Clock::time_point> lastByte_;
    std::vector<std::uint8_t> bytes_;
};

} // namespace

double TBoardTranscript::Ms(TBoardEvent::Clock::time_point time) const {
    if (Events.empty())
        return 0;
    return std::chrono::duration<double, std::milli>(time - Events.front().Time).count();
}

const char* BoardModeName(TBoardMode mode) {
    switch (mode) {
    case bmNotReset:
        return "not reset yet";
    case bmReset:
        return "held in reset";
    case bmLoading:
        return "loading";
    case bmRunning:
        return "running";
    }
    return "?";
}

TBoardState ReplayTranscript(const TBoardTranscript& transcript, std::size_t memorySize) {
    TBoardState state;
    state.Memory.assign(memorySize, 0);
    bool rts = transcript.InitialRts;
    if (transcript.InitialDtr)
        state.Mode = bmReset;
    for (const TBoardEvent& e : transcript.Events) {
        switch (e.Kind) {
        case beOpen:
            rts = e.Rts;
            if (e.Dtr)
                state.Mode = bmReset;
            break;
        case beRts:
            rts = e.Level;
            break;
        case beDtr:
            if (e.Level) {
                state.Mode = bmReset;
            } else if (state.Mode == bmReset) {
                state.Mode = rts ? bmRunning : bmLoading;
                if (rts) {
                    ++state.Runs;
                } else {
                    ++state.Loads;
                    state.Loaded = 0;
                    state.Overflow = 0;
                }
            }
            break;
        case beData:
            if (state.Mode != bmLoading)
                break;
            for (std::uint8_t byte : e.Bytes) {
                if (state.Loaded < state.Memory.size())
                    state.Memory[state.Loaded++] = byte;
                else
                    ++state.Overflow;
            }
            break;
        case beClose:
        case beConfig:
        case beBreak:
            break;
        }
    }
    return state;
}

TBoardVerdict JudgeTranscript(const TBoardTranscript& transcript, const TJudgeOptions& options) {
    return Judge(transcript, options).Run();
}

std::string FormatTranscript(const TBoardTranscript& transcript) {
    std::ostringstream out;
    out << transcript.PortName << ": transcript (ms since the first event; line levels after "
        << "each event; bytes " << (transcript.Pacing ? "paced at the line speed" : "unpaced")
        << ")\n";
    out << "      time  RTS  DTR  event\n";
    std::optional<Clock::time_point> pulseStart;
    std::size_t note = 0;
    auto notesUntil = [&](std::optional<Clock::time_point> until) {
        for (; note < transcript.Program.size(); ++note) {
            const TBoardNote& n = transcript.Program[note];
            if (until && n.Time > *until)
                return;
            out << Printf("%10.1f            ", transcript.Ms(n.Time))
                << (n.Failure ? "program failure: " : "program: ") << n.Text << "\n";
        }
    };
    for (const TBoardEvent& e : transcript.Events) {
        notesUntil(e.Time);
        std::string what;
        switch (e.Kind) {
        case beOpen:
            what = "port opened";
            break;
        case beClose:
            what = "port closed";
            break;
        case beConfig:
            what = "settings " + LineFormat(e);
            break;
        case beRts:
            what = "RTS " + OnOff(e.Level);
            break;
        case beDtr:
            if (e.Level) {
                pulseStart = e.Time;
                what = "DTR on: reset";
            } else if (pulseStart) {
                const double width =
                    std::chrono::duration<double, std::milli>(e.Time - *pulseStart).count();
                what = Printf("DTR off: reset pulse %.1f ms, board %s", width,
                              e.Rts ? "runs" : "loads");
            } else {
                what = std::string("DTR off: end of a reset that began earlier, board ") +
                       (e.Rts ? "runs" : "loads");
            }
            break;
        case beBreak:
            what = std::string("break ") + (e.Level ? "on" : "off");
            break;
        case beData: {
            const double span =
                std::chrono::duration<double, std::milli>(e.LastTime - e.Time).count();
            what = Printf("received %zu %s in %.1f ms: ", e.Bytes.size(),
                          e.Bytes.size() == 1 ? "byte" : "bytes", span) +
                   HexPreview(e.Bytes, 8);
            break;
        }
        }
        out << Printf("%10.1f  %3s  %3s  ", transcript.Ms(e.Time), OnOff(e.Rts).c_str(),
                      OnOff(e.Dtr).c_str())
            << what << "\n";
    }
    if (transcript.Events.empty())
        out << "    (nothing happened on the line)\n";
    notesUntil(std::nullopt);
    return out.str();
}

std::string FormatVerdict(const TBoardVerdict& verdict) {
    const TJudgeOptions& o = verdict.Options;
    std::ostringstream out;
    out << Printf("verdict against the download protocol: pulses and pauses %.0f ms, accepted "
                  "%.0f-%.0f ms (+-%.0f ms, plus %.0f ms scheduling slack late)\n",
                  o.PulseMs, o.MinMs(o.PulseMs), o.MaxMs(o.PulseMs), o.ToleranceMs, o.SlackMs);
    for (std::size_t i = 0; i < verdict.Downloads.size(); ++i) {
        const TBoardDownload& d = verdict.Downloads[i];
        out << Printf("  download %zu at %.1f ms: load reset %.1f, settle %.1f, %zu %s in %.1f, "
                      "after write %.1f, run reset %.1f ms\n",
                      i + 1, d.StartMs, d.LoadResetMs, d.SettleMs, d.Bytes,
                      d.Bytes == 1 ? "byte" : "bytes", d.TransferMs, d.AfterWriteMs, d.RunResetMs);
    }
    if (verdict.Resets > 0)
        out << "  reset pulses: " << verdict.Resets << "\n";
    for (const std::string& note : verdict.Notes)
        out << "  note " << note << "\n";
    for (const std::string& deviation : verdict.Deviations)
        out << "  DEVIATION " << deviation << "\n";
    if (verdict.Ok())
        out << "verdict: OK (" << Plural(verdict.Downloads.size(), "download", "downloads") << ", "
            << Plural(verdict.Resets, "reset", "resets") << ", no deviation)\n";
    else
        out << "verdict: " << Plural(verdict.Deviations.size(), "deviation", "deviations") << "\n";
    return out.str();
}

} // namespace zv
