#include "app/cli/Cli.h"
#include "app/cli/SystemError.h"
#include "app/core/HostSystem.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

namespace {

// Standard output through the C library, remembering why the first write failed (a full disk,
// a pipe whose reader has gone): output that never arrived must not pass for success.
class TCheckedOutput : public std::streambuf {
public:
    explicit TCheckedOutput(std::FILE* file) : file_(file) {}
    int Error() const noexcept { return error_; }

protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        if (error_ != 0)
            return 0;
        errno = 0;
        const std::size_t done = std::fwrite(text, 1, static_cast<std::size_t>(count), file_);
        if (done != static_cast<std::size_t>(count))
            Failed();
        return static_cast<std::streamsize>(done);
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }
    int sync() override {
        if (error_ != 0)
            return -1;
        errno = 0;
        if (std::fflush(file_) != 0) {
            Failed();
            return -1;
        }
        return 0;
    }

private:
    void Failed() { error_ = errno != 0 ? errno : EIO; }

    std::FILE* file_;
    int error_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    zv::ReportClosedPipes();
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    TCheckedOutput buffer(stdout);
    std::ostream out(&buffer);
    int status = zv::cli::Run(args, out, std::cerr);
    out.flush();
    if (buffer.Error() != 0) {
        std::cerr << zv::cli::kProgram
                  << ": cannot write the output: " << zv::cli::ErrnoText(buffer.Error()) << "\n";
        if (status == zv::cli::exitSuccess)
            status = zv::cli::exitFailure;
    }
    return status;
}
