#include "toolkit/MessageWindow.h"

#include "toolkit/Exception.h"
#include "toolkit/SyncQueue.h"
#include "toolkit/Thread.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace zv {

#ifndef _WIN32

namespace {

// The windows of the process: handle value -> method. A method is held by shared pointer so
// that a window deallocated while its method runs (from inside it, say) lives to the method's
// end.
struct TWindowTable {
    std::mutex Mutex;
    std::unordered_map<std::uintptr_t, std::shared_ptr<TWndMethod>> Windows;
    std::uintptr_t NextHandle = 0x10000;
};

TWindowTable& windowTable() {
    static TWindowTable* table = new TWindowTable;
    return *table;
}

std::shared_ptr<TWndMethod> findWindow(HWND Wnd) {
    auto& table = windowTable();
    std::lock_guard lock(table.Mutex);
    const auto it = table.Windows.find(reinterpret_cast<std::uintptr_t>(Wnd));
    return it == table.Windows.end() ? nullptr : it->second;
}

LRESULT dispatch(const TWndMethod& method, UINT Msg, WPARAM wParam, LPARAM lParam) {
    TMessage message{Msg, wParam, lParam, 0};
    method(message);
    return message.Result;
}

} // namespace

HWND AllocateHWnd(TWndMethod Method) {
    auto& table = windowTable();
    std::lock_guard lock(table.Mutex);
    const std::uintptr_t handle = table.NextHandle++;
    table.Windows.emplace(handle, std::make_shared<TWndMethod>(std::move(Method)));
    return reinterpret_cast<HWND>(handle);
}

void DeallocateHWnd(HWND Wnd) {
    std::shared_ptr<TWndMethod> method; // released outside the lock
    auto& table = windowTable();
    std::lock_guard lock(table.Mutex);
    const auto it = table.Windows.find(reinterpret_cast<std::uintptr_t>(Wnd));
    if (it == table.Windows.end())
        return;
    method = std::move(it->second);
    table.Windows.erase(it);
}

#else

// Windows: a message-only window of one private class whose procedure calls the method held in
// the window's user data. The user data points to a shared pointer, and the procedure runs the
// method through a copy of it, so a window deallocated from inside its own method (a port closed
// by one of its handlers) keeps that method alive to its end.
namespace {

using TMethodHolder = std::shared_ptr<TWndMethod>;

LRESULT CALLBACK utilityWindowProc(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    const auto* holder = reinterpret_cast<TMethodHolder*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (holder == nullptr || !*holder || !**holder)
        return ::DefWindowProcA(hWnd, Msg, wParam, lParam);
    const TMethodHolder method = *holder;
    TMessage message{Msg, wParam, lParam, 0};
    // An exception must not unwind through the system's frames that called this procedure: it
    // goes to the application's exception handler, whoever sent the message.
    try {
        (*method)(message);
    } catch (...) {
        HandleCurrentExceptionQuietly(); // nor may the handler's own exception
    }
    return message.Result;
}

const char* utilityWindowClass() {
    static const char* name = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = utilityWindowProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "ZvUtilWindow";
        ::RegisterClassA(&wc);
        return "ZvUtilWindow";
    }();
    return name;
}

} // namespace

HWND AllocateHWnd(TWndMethod Method) {
    HWND wnd = ::CreateWindowExA(0, utilityWindowClass(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 ::GetModuleHandleA(nullptr), nullptr);
    if (wnd != nullptr)
        ::SetWindowLongPtrA(wnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(new TMethodHolder(
                                std::make_shared<TWndMethod>(std::move(Method)))));
    return wnd;
}

void DeallocateHWnd(HWND Wnd) {
    if (Wnd == nullptr)
        return;
    auto* holder = reinterpret_cast<TMethodHolder*>(::GetWindowLongPtrA(Wnd, GWLP_USERDATA));
    ::SetWindowLongPtrA(Wnd, GWLP_USERDATA, 0);
    ::DestroyWindow(Wnd);
    delete holder; // a method running right now holds its own reference
}

#endif

} // namespace zv

#ifndef _WIN32

LRESULT SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    using namespace zv;
    if (IsMainThread()) {
        const auto method = findWindow(hWnd);
        if (!method || !*method)
            return 0;
        detail::TDirectCallScope direct;
        return dispatch(*method, Msg, wParam, lParam);
    }
    if (!findWindow(hWnd))
        return 0;
    auto request = std::make_shared<detail::TSyncRequest>();
    request->IsMessage = true;
    // The window is looked up again when the message runs: it may be gone by then.
    request->Method = [hWnd, Msg, wParam, lParam]() -> std::intptr_t {
        const auto method = findWindow(hWnd);
        if (!method || !*method)
            return 0;
        return dispatch(*method, Msg, wParam, lParam);
    };
    detail::QueueAndWait(request);
    return request->Result;
}

BOOL InSendMessage() {
    if (!zv::IsMainThread())
        return FALSE;
    const auto* request = zv::detail::CurrentRequest();
    return (request != nullptr && request->IsMessage) ? TRUE : FALSE;
}

BOOL ReplyMessage(LRESULT lResult) {
    if (!zv::IsMainThread())
        return FALSE;
    auto* request = zv::detail::CurrentRequest();
    if (request == nullptr || !request->IsMessage)
        return FALSE;
    return zv::detail::ReleaseRequest(*request, lResult) ? TRUE : FALSE;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

#endif
