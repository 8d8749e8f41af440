// The toolkit's exception classes: a message carried as 8-bit text.
#pragma once

#include <exception>
#include <functional>
#include <string>

namespace zv {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}

    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// The assign error of TPersistent, and any failed conversion between values.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A stream could not transfer the exact number of bytes asked for.
class EReadError : public Exception {
public:
    using Exception::Exception;
};
class EWriteError : public Exception {
public:
    using Exception::Exception;
};

// An index outside a list, or an operation a list refuses (TStrings, TComponent::Components).
class EListError : public Exception {
public:
    using Exception::Exception;
};

// A component operation refused: a duplicate name among the components of one owner.
class EComponentError : public Exception {
public:
    using Exception::Exception;
};

// A thread operation refused: waiting for a thread from inside itself, running the main
// thread's queue on another thread.
class EThread : public Exception {
public:
    using Exception::Exception;
};

// The application's standard exception handler: what the main loop does with an exception that
// nobody else handled. The default writes the message to stderr; a GUI replaces it with a message
// box. Replacing it returns the previous handler.
using TExceptionHandler = std::function<void(const std::exception&)>;
TExceptionHandler SetApplicationExceptionHandler(TExceptionHandler handler);
void HandleApplicationException(const std::exception& e);
// Calls HandleApplicationException for the exception being handled (use inside catch (...)).
void HandleCurrentException();
// The same where no exception may leave (a thread's loop, a window procedure): what the
// application's handler raises in turn is written to stderr.
void HandleCurrentExceptionQuietly() noexcept;

} // namespace zv
