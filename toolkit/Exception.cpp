#include "toolkit/Exception.h"

#include <cstdio>
#include <mutex>

namespace zv {

namespace {

std::mutex handlerMutex;
TExceptionHandler& handlerSlot() {
    static TExceptionHandler handler;
    return handler;
}

void writeToStderr(const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
}

} // namespace

TExceptionHandler SetApplicationExceptionHandler(TExceptionHandler handler) {
    std::lock_guard lock(handlerMutex);
    auto previous = std::move(handlerSlot());
    handlerSlot() = std::move(handler);
    return previous;
}

void HandleApplicationException(const std::exception& e) {
    TExceptionHandler handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = handlerSlot();
    }
    if (handler)
        handler(e);
    else
        writeToStderr(e);
}

void HandleCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        HandleApplicationException(e);
    } catch (...) {
        HandleApplicationException(Exception("Unknown exception"));
    }
}

void HandleCurrentExceptionQuietly() noexcept {
    try {
        HandleCurrentException();
    } catch (const std::exception& e) {
        writeToStderr(e);
    } catch (...) {
        std::fputs("Unknown exception\n", stderr);
    }
}

} // namespace zv
