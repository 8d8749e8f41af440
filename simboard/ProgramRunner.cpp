#ifndef _WIN32

#include "simboard/ProgramRunner.h"

#include "platform/VirtualLine.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zv {

namespace {

using Clock = std::chrono::steady_clock;

// The program's output is taken from s51 only while fewer bytes than this wait on the line, so
// a program that sends faster than the line carries them is held back by its full pipe.
constexpr std::size_t kAhead = 64;
// Bytes for the program's input kept while s51 does not take them; more are an overrun.
constexpr std::size_t kFeedLimit = 65536;
// s51 says this, unbuffered, once it has taken its options and joined its serial port to our
// pipes (its other messages are buffered when the output is a pipe, and may come late or never).
constexpr std::string_view kStartedMark = "serial output interface";

std::string ErrnoText(int error) {
    return std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")";
}

// Writes `text` into a new file at `path`; 0, or the errno of the step that failed.
int WriteNewFile(const std::string& path, const std::string& text) {
    errno = 0;
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return errno != 0 ? errno : EIO;
    int error = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size())
        error = errno != 0 ? errno : EIO;
    if (std::fclose(out) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    return error;
}

class Fd {
public:
    Fd() = default;
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A pipe whose ends are closed on exec; false with errno set when none can be made.
bool MakePipe(Fd& readEnd, Fd& writeEnd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    readEnd.Reset(ends[0]);
    writeEnd.Reset(ends[1]);
    return true;
}

void SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The executable `name` stands for: itself when it has a slash, else the first match on PATH.
std::string FindProgram(const std::string& name) {
    auto executable = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
               ::access(path.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos)
        return executable(name) ? name : std::string();
    const char* path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = dirs.find(':', begin);
        std::string dir = dirs.substr(begin, end == std::string::npos ? end : end - begin);
        const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (executable(candidate))
            return candidate;
        if (end == std::string::npos)
            return {};
        begin = end + 1;
    }
}

// How a reaped child ended, for a note.
std::string ExitText(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    return "status " + std::to_string(status);
}

// The last non-empty line of s51's console output.
std::string LastLine(const std::string& text) {
    std::size_t end = text.find_last_not_of("\r\n \t");
    if (end == std::string::npos)
        return {};
    const std::size_t begin = text.find_last_of('\n', end);
    return text.substr(begin == std::string::npos ? 0 : begin + 1,
                       end - (begin == std::string::npos ? 0 : begin + 1) + 1);
}

} // namespace

std::string IntelHex(const std::vector<std::uint8_t>& image) {
    std::string out;
    char field[16];
    for (std::size_t at = 0; at < image.size(); at += 16) {
        const std::size_t n = std::min<std::size_t>(16, image.size() - at);
        std::size_t sum = n + ((at >> 8) & 0xFF) + (at & 0xFF);
        std::snprintf(field, sizeof field, ":%02X%04X00", static_cast<unsigned>(n),
                      static_cast<unsigned>(at & 0xFFFF));
        out += field;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(field, sizeof field, "%02X", image[at + i]);
            out += field;
            sum += image[at + i];
        }
        std::snprintf(field, sizeof field, "%02X\n",
                      static_cast<unsigned>((0x100 - (sum & 0xFF)) & 0xFF));
        out += field;
    }
    out += ":00000001FF\n";
    return out;
}

struct TProgramRunner::Impl {
    Impl(VirtualLine& l, TProgramRunnerOptions o, NoteFn n)
        : line(l), options(std::move(o)), note(std::move(n)) {}

    VirtualLine& line;
    const TProgramRunnerOptions options;
    const NoteFn note;

    struct Command {
        enum class Kind { Start, Stop, Quit } kind;
        std::vector<std::uint8_t> image;
        std::string why;
    };

    // Shared with the callers' threads.
    std::mutex mutex;
    std::condition_variable carried;
    std::deque<Command> commands;
    std::uint64_t given = 0;
    std::uint64_t done = 0;
    bool retired = false; // the runner's thread has ended: commands count as carried at once
    std::deque<std::uint8_t> feed; // for the program's input
    bool accepting = false;        // a program runs: Feed keeps bytes
    std::size_t overrun = 0;       // bytes Feed dropped in this run
    long runningPid = 0;
    Fd wakeRead, wakeWrite;
    std::thread thread;

    // The run; the runner's thread only.
    pid_t pid = 0;
    Fd serialIn;  // our end of the program's serial input
    Fd serialOut; // our end of the program's serial output
    Fd console;   // s51's standard output and error
    Fd consoleIn; // s51's standard input, held open: at its end s51 would quit
    std::string tempDir;
    std::string consoleText; // its last few kilobytes
    bool confirmed = false;
    Clock::time_point startDeadline{};
    std::size_t imageSize = 0;
    std::size_t sent = 0;
    bool toldMissing = false;

    void Wake() {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite.Get(), &byte, 1);
    }

    void Give(Command command) {
        {
            std::lock_guard lock(mutex);
            ++given;
            if (retired) {
                ++done; // nobody will carry it out; a caller's Sync must not wait for ever
                carried.notify_all();
                return;
            }
            commands.push_back(std::move(command));
        }
        Wake();
    }

    // The thread ends: what was given and not carried out never will be.
    void Retire() {
        std::lock_guard lock(mutex);
        retired = true;
        commands.clear();
        done = given;
        carried.notify_all();
    }

    void Note(std::string text, bool failure = false) {
        note(TProgramNote{std::move(text), failure});
    }

    void Loop() {
        // A write into the pipe of an s51 that died fails with EPIPE instead of ending us; the
        // signal stays pending on this thread, blocked.
        sigset_t pipeSignal;
        sigemptyset(&pipeSignal);
        sigaddset(&pipeSignal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

        for (;;) {
            pollfd fds[4];
            nfds_t count = 0;
            fds[count++] = {wakeRead.Get(), POLLIN, 0};
            int outAt = -1, consoleAt = -1, inAt = -1;
            std::optional<Clock::duration> wait;
            if (pid != 0) {
                consoleAt = static_cast<int>(count);
                fds[count++] = {console.Get(), POLLIN, 0};
                if (line.PendingToNear() < kAhead) {
                    outAt = static_cast<int>(count);
                    fds[count++] = {serialOut.Get(), POLLIN, 0};
                } else {
                    wait = std::max<Clock::duration>(line.CharacterTime() * (kAhead / 2),
                                                     std::chrono::milliseconds(1));
                }
                bool feeding;
                {
                    std::lock_guard lock(mutex);
                    feeding = !feed.empty();
                }
                if (feeding) {
                    inAt = static_cast<int>(count);
                    fds[count++] = {serialIn.Get(), POLLOUT, 0};
                }
                if (!confirmed) {
                    const auto left = std::max<Clock::duration>(startDeadline - Clock::now(),
                                                                Clock::duration::zero());
                    wait = wait ? std::min(*wait, left) : left;
                }
            }
            int timeout = -1;
            if (wait)
                timeout =
                    static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*wait).count());
            if (::poll(fds, count, timeout) < 0 && errno != EINTR) {
                Note("the program runner cannot wait: " + ErrnoText(errno), true);
                StopRun({});
                Retire();
                return;
            }
            if (fds[0].revents != 0) {
                char drain[64];
                while (::read(wakeRead.Get(), drain, sizeof drain) > 0) {
                }
            }
            if (pid != 0 && outAt >= 0 && fds[outAt].revents != 0)
                PumpOutput();
            if (pid != 0 && consoleAt >= 0 && fds[consoleAt].revents != 0)
                PumpConsole();
            if (pid != 0 && inAt >= 0 && fds[inAt].revents != 0)
                PumpInput();
            if (pid != 0 && !confirmed && Clock::now() >= startDeadline) {
                const auto s = std::chrono::duration<double>(options.StartTimeout).count();
                char text[128];
                std::snprintf(text, sizeof text, "s51 did not start within %.1f s", s);
                Fail(text);
            }

            std::deque<Command> todo;
            {
                std::lock_guard lock(mutex);
                todo.swap(commands);
            }
            for (Command& c : todo) {
                if (c.kind == Command::Kind::Quit) {
                    StopRun({});
                    Retire();
                    return;
                }
                StopRun(c.why);
                if (c.kind == Command::Kind::Start)
                    StartRun(c.image);
            }
            if (!todo.empty())
                Done(todo.size());
        }
    }

    void Done(std::size_t n) {
        std::lock_guard lock(mutex);
        done += n;
        carried.notify_all();
    }

    // Moves the program's output onto the line, as much as the line may hold ahead.
    void PumpOutput() {
        std::uint8_t buffer[kAhead];
        const std::size_t pending = line.PendingToNear();
        const std::size_t room = pending < kAhead ? kAhead - pending : 0;
        if (room == 0)
            return;
        const ssize_t n = ::read(serialOut.Get(), buffer, room);
        if (n > 0) {
            line.Write(buffer, static_cast<std::size_t>(n));
            sent += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            Ended();
        }
    }

    void PumpConsole() {
        char buffer[1024];
        const ssize_t n = ::read(console.Get(), buffer, sizeof buffer);
        if (n > 0) {
            consoleText.append(buffer, static_cast<std::size_t>(n));
            if (!confirmed && consoleText.find(kStartedMark) != std::string::npos) {
                confirmed = true;
                Note("s51 runs the program: " + std::to_string(imageSize) + " bytes at " +
                     options.Crystal + "Hz, its serial port on this line (pid " +
                     std::to_string(pid) + ")");
            }
            if (consoleText.size() > 4096)
                consoleText.erase(0, consoleText.size() - 4096);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            Ended();
        }
    }

    void PumpInput() {
        std::uint8_t buffer[512];
        std::size_t n;
        {
            std::lock_guard lock(mutex);
            n = std::min(feed.size(), sizeof buffer);
            std::copy_n(feed.begin(), n, buffer);
        }
        const ssize_t written = ::write(serialIn.Get(), buffer, n);
        if (written > 0) {
            std::lock_guard lock(mutex);
            feed.erase(feed.begin(),
                       feed.begin() + std::min<std::ptrdiff_t>(
                                          written, static_cast<std::ptrdiff_t>(feed.size())));
        } else if (written < 0 && errno == EPIPE) {
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            const timespec now{0, 0};
            ::sigtimedwait(&pipeSignal, nullptr, &now);
            Ended();
        }
    }

    // Kills what is left of s51's process group: the simulator given may be a wrapper that
    // starts the real one as a child, which killing the wrapper alone would leave running. Called
    // while s51 is not reaped yet, so that the group's id cannot have been given to another.
    void KillGroup() {
        if (::kill(-pid, SIGKILL) != 0 && errno == ESRCH)
            ::kill(pid, SIGKILL);
    }

    // Waits for s51 to be gone; kills it when it does not go by itself within a moment. Either
    // way what it left running in its process group is killed before it is reaped.
    int Reap(bool kill) {
        int status = 0;
        if (!kill) {
            for (int i = 0; i < 100; ++i) {
                siginfo_t info{};
                const int r =
                    ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
                if (r < 0 && errno != EINTR)
                    return status;
                if (r == 0 && info.si_pid == pid)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        KillGroup();
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    }

    // s51 closed its end: it exited or crashed.
    void Ended() {
        const int status = Reap(false);
        // What it said last may still wait in the console pipe.
        char buffer[1024];
        ssize_t n;
        while ((n = ::read(console.Get(), buffer, sizeof buffer)) > 0)
            consoleText.append(buffer, static_cast<std::size_t>(n));
        std::string text = "s51 ended by itself (" + ExitText(status) + ")";
        const std::string said = LastLine(consoleText);
        if (!said.empty())
            text += "; its last words: " + said;
        text += "; the program sent " + std::to_string(sent) + " bytes";
        CleanUp();
        Note(text, true);
    }

    // A start that failed after s51 was launched.
    void Fail(const std::string& what) {
        Reap(true);
        std::string text = what;
        const std::string said = LastLine(consoleText);
        if (!said.empty())
            text += "; its last words: " + said;
        CleanUp();
        Note(text + "; it was stopped", true);
    }

    void StopRun(const std::string& why) {
        if (pid == 0)
            return;
        Reap(true);
        std::size_t lost;
        {
            std::lock_guard lock(mutex);
            lost = overrun;
        }
        std::string text = "program stopped";
        if (!why.empty())
            text += " (" + why + ")";
        text += "; it sent " + std::to_string(sent) + (sent == 1 ? " byte" : " bytes");
        if (lost > 0)
            text += ", " + std::to_string(lost) + " bytes for it were lost (it did not read them)";
        CleanUp();
        if (!why.empty())
            Note(text);
    }

    void CleanUp() {
        {
            std::lock_guard lock(mutex);
            accepting = false;
            runningPid = 0;
            feed.clear();
        }
        pid = 0;
        serialIn.Close();
        serialOut.Close();
        console.Close();
        consoleIn.Close();
        if (!tempDir.empty()) {
            ::unlink((tempDir + "/program.ihx").c_str());
            ::rmdir(tempDir.c_str());
            tempDir.clear();
        }
        consoleText.clear();
        confirmed = false;
    }

    void StartRun(const std::vector<std::uint8_t>& image) {
        if (image.empty())
            return; // nothing loaded: nothing to run (the port's open pulses the reset too)
        const std::string path = FindProgram(options.Simulator);
        if (path.empty()) {
            if (!toldMissing)
                Note("programs do not run: " + options.Simulator +
                     " was not found (it comes with the package sdcc-ucsim)");
            toldMissing = true;
            return;
        }

        const char* tmp = std::getenv("TMPDIR");
        std::string dir =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zelvator-sim-XXXXXX";
        if (::mkdtemp(dir.data()) == nullptr) {
            Note("cannot make a folder for the program in " + dir + ": " + ErrnoText(errno), true);
            return;
        }
        tempDir = dir;
        const std::string file = dir + "/program.ihx";
        if (const int error = WriteNewFile(file, IntelHex(image)); error != 0) {
            Note("cannot write the program for s51 to " + file + ": " + ErrnoText(error), true);
            CleanUp();
            return;
        }

        Fd inRead, inWrite, outRead, outWrite, conRead, conWrite, stdinRead, stdinWrite;
        Fd execRead, execWrite;
        if (!MakePipe(inRead, inWrite) || !MakePipe(outRead, outWrite) ||
            !MakePipe(conRead, conWrite) || !MakePipe(stdinRead, stdinWrite) ||
            !MakePipe(execRead, execWrite)) {
            Note("cannot make pipes for s51: " + ErrnoText(errno), true);
            CleanUp();
            return;
        }

        // Everything the child needs is made before the fork: it may only make
        // async-signal-safe calls until the exec.
        // s51 looks at its serial input only now and then unless told to at every cycle;
        // without that, characters that follow the first one are lost.
        std::vector<std::string> args = {path,
                                         "-X",
                                         options.Crystal,
                                         "-Sin=/dev/fd/3,out=/dev/fd/4",
                                         "-e",
                                         "set memory uart_0_cfg 1 1",
                                         "-G",
                                         file};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int sources[5] = {stdinRead.Get(), conWrite.Get(), conWrite.Get(), inRead.Get(),
                                outWrite.Get()};
        const int report = execWrite.Get();
        const pid_t parent = ::getpid();

        const pid_t child = ::fork();
        if (child < 0) {
            Note("cannot start s51: fork failed: " + ErrnoText(errno), true);
            CleanUp();
            return;
        }
        if (child == 0) {
            sigset_t none;
            sigemptyset(&none);
            pthread_sigmask(SIG_SETMASK, &none, nullptr);
            ::setpgid(0, 0);
            // Dies with the thread that started it: the runner's, which lives as long as we do.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            int high[5];
            for (int i = 0; i < 5; ++i)
                high[i] = ::fcntl(sources[i], F_DUPFD_CLOEXEC, 10);
            for (int i = 0; i < 5; ++i)
                ::dup2(high[i], i);
            ::execve(argv[0], argv.data(), environ);
            const int error = errno;
            [[maybe_unused]] const ssize_t n = ::write(report, &error, sizeof error);
            ::_exit(127);
        }

        pid = child;
        execWrite.Close();
        int error = 0;
        ssize_t got;
        while ((got = ::read(execRead.Get(), &error, sizeof error)) < 0 && errno == EINTR) {
        }
        if (got == static_cast<ssize_t>(sizeof error)) {
            Reap(true);
            CleanUp();
            Note("cannot start s51 (" + path + "): " + ErrnoText(error), true);
            return;
        }
        serialIn.Reset(inWrite.Release());
        serialOut.Reset(outRead.Release());
        console.Reset(conRead.Release());
        consoleIn.Reset(stdinWrite.Release());
        SetNonBlocking(serialIn.Get());
        SetNonBlocking(serialOut.Get());
        SetNonBlocking(console.Get());
        imageSize = image.size();
        sent = 0;
        confirmed = false;
        startDeadline = Clock::now() + options.StartTimeout;
        std::lock_guard lock(mutex);
        overrun = 0;
        accepting = true;
        runningPid = pid;
    }
};

TProgramRunner::TProgramRunner(VirtualLine& line, TProgramRunnerOptions options, NoteFn note)
    : impl_(std::make_unique<Impl>(line, std::move(options), std::move(note))) {
    if (!MakePipe(impl_->wakeRead, impl_->wakeWrite))
        throw std::runtime_error("cannot make the program runner's wake-up pipe: " +
                                 ErrnoText(errno));
    SetNonBlocking(impl_->wakeRead.Get());
    SetNonBlocking(impl_->wakeWrite.Get());
    Impl* impl = impl_.get();
    impl_->thread = std::thread([impl] { impl->Loop(); });
}

TProgramRunner::~TProgramRunner() {
    impl_->Give({Impl::Command::Kind::Quit, {}, {}});
    impl_->thread.join();
}

void TProgramRunner::Start(std::vector<std::uint8_t> image, std::string why) {
    impl_->Give({Impl::Command::Kind::Start, std::move(image), std::move(why)});
}

void TProgramRunner::Stop(std::string why) {
    impl_->Give({Impl::Command::Kind::Stop, {}, std::move(why)});
}

void TProgramRunner::Feed(const std::uint8_t* data, std::size_t count) {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->accepting)
            return;
        const std::size_t room = kFeedLimit - std::min(kFeedLimit, impl_->feed.size());
        const std::size_t n = std::min(room, count);
        impl_->feed.insert(impl_->feed.end(), data, data + n);
        impl_->overrun += count - n;
    }
    impl_->Wake();
}

void TProgramRunner::Sync() {
    std::unique_lock lock(impl_->mutex);
    const std::uint64_t target = impl_->given;
    impl_->carried.wait(lock, [&] { return impl_->done >= target; });
}

long TProgramRunner::RunningPid() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->runningPid;
}

} // namespace zv

#endif // _WIN32
