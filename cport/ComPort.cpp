// TCustomComPort: construction, settings, opening, configuring and closing the device.
#include "cport/ComPort.h"

#include "cport/ComThread.h"
#include "toolkit/Exception.h"

#include <atomic>
#include <thread>
#include <utility>

namespace zv {

namespace {

// The device path of a port name: "\\.\" + name.
std::string DevicePath(const std::string& name) {
    return "\\\\.\\" + name;
}

} // namespace

// ---- Construction ------------------------------------------------------------------------------

TCustomComPort::TCustomComPort(TComponent* AOwner) : TComponent(AOwner) {
    FParity = std::make_unique<TComParity>();
    FFlowControl = std::make_unique<TComFlowControl>();
    FTimeouts = std::make_unique<TComTimeouts>();
    FBuffer = std::make_unique<TComBuffer>();
    // Bound to this port so that their setters apply changes.
    FParity->SetComPort(this);
    FFlowControl->SetComPort(this);
    FTimeouts->SetComPort(this);
    FBuffer->SetComPort(this);
}

TCustomComPort::~TCustomComPort() {
    // A destructor must not throw: a close whose abort step fails still ends the thread and
    // closes the device, and the failure goes to the application's exception handler.
    try {
        if (FLife->Closer.load() == std::this_thread::get_id() && FLife->InBeforeClose &&
            FConnected)
            FinishClose(); // destroyed from OnBeforeClose: the close that began finishes here
        else
            Close(); // waits for a close running on another thread
    } catch (...) {
        HandleCurrentExceptionQuietly(); // a raising handler must not leave a destructor
        if (BeginClose()) {
            ReleaseDevice();
            EndClose(FLife);
        }
    }
    // Observers are told (and unregister their links) while the links list still exists.
    BeforeDestruction();
    FLife->Alive = false;
    for (auto* option :
         {static_cast<TComOption*>(FBuffer.get()), static_cast<TComOption*>(FFlowControl.get()),
          static_cast<TComOption*>(FTimeouts.get()), static_cast<TComOption*>(FParity.get())})
        option->SetComPort(nullptr);
    TComThread::ReapDetached();
}

// ---- Opening and closing -----------------------------------------------------------------------

namespace {
std::atomic<TCustomComPort::TSetupDialogProc> setupDialog{nullptr};
} // namespace

void TCustomComPort::SetSetupDialog(TSetupDialogProc Proc) noexcept {
    setupDialog = Proc;
}

bool TCustomComPort::ShowSetupDialog() {
    const TSetupDialogProc proc = setupDialog;
    if (proc == nullptr)
        throw Exception("No port setup dialog is available in this program");
    return proc(this);
}

// The device and the event thread are created under the claim that a close holds (BeginClose),
// so that a close on another thread never meets a half-opened port, nor an opening a half-closed
// one: an Open meeting such a close waits for it to end. No callback runs under it. An opening
// is no close: event dispatch goes on meanwhile.
class TCustomComPort::TOpenClaim {
public:
    explicit TOpenClaim(TCustomComPort& Port) : FLife(Port.FLife), FHeld(Port.BeginClose()) {
        if (FHeld)
            FLife->Opening = true;
    }
    ~TOpenClaim() {
        if (!FHeld)
            return;
        FLife->Opening = false;
        EndClose(FLife);
    }
    TOpenClaim(const TOpenClaim&) = delete;
    TOpenClaim& operator=(const TOpenClaim&) = delete;
    explicit operator bool() const noexcept { return FHeld; }

private:
    std::shared_ptr<TLife> FLife;
    bool FHeld;
};

void TCustomComPort::Open() {
    if (Designing())
        return;
    if (FConnected) {
        // A close running on another thread takes the port down first: this Open comes after
        // it (unless this is the port's own event thread, which that close waits for).
        const std::shared_ptr<TLife> life = FLife;
        const std::thread::id closer = life->Closer.load();
        if (closer != std::thread::id{} && closer != std::this_thread::get_id() && !life->Opening &&
            !InsideDispatch()) {
            WaitUntil([&] { return life->Closer.load() == std::thread::id{}; });
            if (!life->Alive)
                return; // a callback of that close destroyed the port
        }
        // Open already, or, while loading, a recorded wish that Loaded fulfils.
        if (FHandle != INVALID_HANDLE_VALUE || Loading())
            return;
        // A wish recorded while designing is not an open device (nor is a port a close on
        // another thread is taking down: the claim below waits for that close).
        FConnected = false;
    }
    TComThread::ReapDetached();
    TCallbackGuard guard(this);
    CallBeforeOpen();
    // OnBeforeOpen may have destroyed the port or opened it already.
    if (!guard.Live() || FConnected)
        return;
    // Lets the event thread hand off (smNone) once the opening has been announced.
    std::shared_ptr<void> announced;
    {
        const TOpenClaim claim(*this);
        // Opened meanwhile by another thread, or it is this port's own event thread while
        // another thread closes the port.
        if (!claim || FConnected)
            return;
        CreateHandle();
        FConnected = true;
        FKeptErrors = 0; // errors of an earlier session are not this one's
        try {
            // The new device runs with the port's settings before it is announced, also inside
            // an update bracket (a new port name set in one): its final EndUpdate would apply
            // them only after OnAfterOpen, whose line settings the control modes then undo.
            const std::int32_t updates = std::exchange(FUpdateCount, 0);
            try {
                SetupComPort();
            } catch (...) {
                FUpdateCount = updates;
                throw;
            }
            FUpdateCount = updates;
            if (!FEvents.empty()) {
                if (FSyncMethod == smWindowSync)
                    FWindow = AllocateHWnd([this](TMessage& Message) { WindowMethod(Message); });
                FEventThread = std::make_unique<TComThread>(this);
                announced = FEventThread->FAnnounced;
            }
        } catch (...) {
            if (FWindow != nullptr) {
                DeallocateHWnd(FWindow);
                FWindow = nullptr;
            }
            DestroyHandle();
            FConnected = false;
            throw;
        }
    }
    // Whatever OnAfterOpen does (close the port, raise), the event thread goes on after it.
    struct TAnnounce {
        std::shared_ptr<void> Gate;
        ~TAnnounce() {
            if (Gate)
                SetEvent(Gate.get());
        }
    } announce{std::move(announced)};
    try {
        CallAfterOpen();
    } catch (const EComPort& e) {
        // A close on another thread took the device away while the opening was being announced:
        // the line states cannot be read any more. That close is what happened to the port.
        if (guard.Live() || e.ErrorCode() != CError_ModemStatusFailed ||
            e.OsErrorCode() != ERROR_INVALID_HANDLE)
            throw;
    }
}

void TCustomComPort::Close() {
    // Even a closed port is claimed: a close on another thread may still be announcing itself.
    if (Designing() || !BeginClose())
        return;
    const std::shared_ptr<TLife> life = FLife;
    if (!FConnected || FHandle == INVALID_HANDLE_VALUE) {
        // Closed meanwhile by another thread, or only a wish recorded while loading or
        // designing: no device to close.
        FConnected = false;
        EndClose(life);
        return;
    }
    // Handlers still running for this session (the one that called Close, or a hand-off the
    // event thread has begun) see the close through their guards and stop.
    life->Closes.fetch_add(1);
    TCallbackGuard guard(this);
    life->InBeforeClose = true;
    try {
        CallBeforeClose();
    } catch (...) {
        life->InBeforeClose = false;
        if (guard.Live())
            EndClose(life);
        throw;
    }
    life->InBeforeClose = false;
    // OnBeforeClose may have destroyed the port; its destructor finished the close.
    if (!guard.Live())
        return;
    FinishClose();
}

bool TCustomComPort::BeginClose() {
    const std::thread::id self = std::this_thread::get_id();
    const std::shared_ptr<TLife> life = FLife;
    for (;;) {
        std::thread::id closer{};
        if (life->Closer.compare_exchange_strong(closer, self))
            return true;
        if (closer == self) {
            // A callback of this close. Only OnAfterClose may close again: a port it reopened.
            if (!life->Announcing)
                return false;
            ++life->Nested;
            return true;
        }
        // The event thread's handler, while another thread closes the port: that close stops
        // and waits for this thread, so it must not wait in turn. The wake-up is dropped.
        if (InsideDispatch())
            return false;
        WaitUntil([&] { return life->Closer.load() == std::thread::id{}; });
        if (!life->Alive)
            return false; // a callback of that close destroyed the port
    }
}

void TCustomComPort::EndClose(const std::shared_ptr<TLife>& Life) {
    if (Life->Closer.load() != std::this_thread::get_id())
        return;
    if (Life->Nested > 0) {
        --Life->Nested;
        return;
    }
    Life->Announcing = false;
    Life->Closer = std::thread::id{};
    NotifyWaiters();
}

void TCustomComPort::FinishClose() {
    const std::shared_ptr<TLife> life = FLife;
    try {
        AbortAllAsync();
    } catch (const EComPort& e) {
        // A device that is gone (unplugged) has nothing left to abort and must still be
        // closable; any other refusal keeps the port open, with its thread.
        if (!DeviceGone(e.OsErrorCode())) {
            EndClose(life);
            throw;
        }
    }
    ReleaseDevice();
    TComThread::ReapDetached();
    life->Announcing = true;
    // Nothing of the port is touched after this: a callback may destroy it. A raising
    // callback still ends the close, or the port would stay claimed (and deaf) for good.
    try {
        CallAfterClose();
    } catch (...) {
        EndClose(life);
        throw;
    }
    EndClose(life);
}

bool TCustomComPort::InsideDispatch() const noexcept {
    return FDispatchThread.load() == std::this_thread::get_id();
}

void TCustomComPort::ReleaseDevice() {
    std::unique_ptr<TComThread> ended = EndEventThread();
    DestroyHandle();
    ended.reset(); // after the device is closed, which ends a wait the thread could not end
    FConnected = false;
}

std::unique_ptr<TComThread> TCustomComPort::EndEventThread() {
    std::unique_ptr<TComThread> thread = std::move(FEventThread);
    if (thread) {
        if (InsideDispatch()) {
            // A callback of this port's own hand-off is closing it: the event thread waits for
            // this very call (smThreadSync) or is this thread (smNone), so it cannot be joined
            // here. It is told to stop and to leave the device alone; it ends as soon as the
            // hand-off returns and is joined later (TComThread::ReapDetached). Its final clean-up
            // of the device is done here, before the handle closes.
            thread->Stop();
            SetCommMask(FHandle, 0);
            PurgeComm(FHandle, PURGE_TXCLEAR | PURGE_RXCLEAR);
            FDispatchThread = std::thread::id{};
            thread.release()->Detach();
        } else {
            thread->Stop();
            thread->WaitFor(); // the main thread serves hand-offs meanwhile
        }
    }
    if (FWindow != nullptr) {
        // A window method running right now (a callback closing the port) runs to its end.
        DeallocateHWnd(FWindow);
        FWindow = nullptr;
    }
    return thread;
}

void TCustomComPort::SetConnected(bool Value) {
    if (LoadingOrDesigning()) {
        // A device a direct Open opened while loading is open for real: Connected false closes
        // it, as outside loading; Loaded would leave it open with nothing to close it.
        if (!Value && FHandle != INVALID_HANDLE_VALUE) {
            Close();
            return;
        }
        FConnected = Value;
        return;
    }
    if (Value == FConnected)
        return;
    if (Value)
        Open();
    else
        Close();
}

void TCustomComPort::Loaded() {
    TComponent::Loaded();
    if (!FConnected || Designing())
        return;
    try {
        if (FHandle != INVALID_HANDLE_VALUE) {
            SetupComPort(); // opened by a direct Open while loading held the settings back
        } else {
            FConnected = false;
            Open();
        }
    } catch (...) {
        HandleCurrentException();
    }
}

void TCustomComPort::CreateHandle() {
    FHandle = CreateFileA(DevicePath(FPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE)
        throw EComPort(CError_OpenFailed, LastOsError());
}

void TCustomComPort::DestroyHandle() {
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseHandle(FHandle);
    FHandle = INVALID_HANDLE_VALUE;
}

// ---- Settings ----------------------------------------------------------------------------------

void TCustomComPort::SetBaudRate(TBaudRate value) {
    if (value == FBaudRate)
        return;
    FBaudRate = value;
    ApplyDCB();
}

void TCustomComPort::SetCustomBaudRate(std::int32_t value) {
    if (value == FCustomBaudRate)
        return;
    FCustomBaudRate = value;
    ApplyDCB();
}

void TCustomComPort::SetPort(const std::string& value) {
    if (value == FPort)
        return;
    FPort = value;
    if (FConnected && !LoadingOrDesigning()) {
        Close();
        Open();
    }
}

void TCustomComPort::SetStopBits(TStopBits value) {
    if (value == FStopBits)
        return;
    FStopBits = value;
    ApplyDCB();
}

void TCustomComPort::SetDataBits(TDataBits value) {
    if (value == FDataBits)
        return;
    FDataBits = value;
    ApplyDCB();
}

void TCustomComPort::SetDiscardNull(bool value) {
    if (value == FDiscardNull)
        return;
    FDiscardNull = value;
    ApplyDCB();
}

void TCustomComPort::SetEventChar(char value) {
    if (value == FEventChar)
        return;
    FEventChar = value;
    ApplyDCB();
}

void TCustomComPort::SetEvents(TComEvents value) {
    FEvents = value;
}

void TCustomComPort::SetParity(TComParity* value) {
    FParity->Assign(value);
    ApplyDCB();
}

void TCustomComPort::SetBuffer(TComBuffer* value) {
    FBuffer->Assign(value);
    ApplyBuffer();
}

void TCustomComPort::SetFlowControl(TComFlowControl* value) {
    FFlowControl->Assign(value);
    ApplyDCB();
}

void TCustomComPort::SetTimeouts(TComTimeouts* value) {
    FTimeouts->Assign(value);
    ApplyTimeouts();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
    if (value == FSyncMethod)
        return;
    RefuseWhileConnected();
    FSyncMethod = value;
}

void TCustomComPort::SetEventThreadPriority(TThreadPriority value) {
    if (value == FEventThreadPriority)
        return;
    RefuseWhileConnected();
    FEventThreadPriority = value;
}

void TCustomComPort::SetTriggersOnRxChar(bool value) {
    if (FRxBufLinked)
        throw EComPort(CError_RxBufLinked);
    FTriggersOnRxChar = value;
}

void TCustomComPort::SetStoredProps(TStoredProps value) {
    FStoredProps = value;
}

void TCustomComPort::RefuseWhileConnected() const {
    if (FConnected && !LoadingOrDesigning())
        throw EComPort(CError_SetWhileConnected);
}

// ---- Batching ----------------------------------------------------------------------------------

void TCustomComPort::BeginUpdate() noexcept {
    ++FUpdateCount;
}

void TCustomComPort::EndUpdate() {
    if (FUpdateCount <= 0)
        return;
    --FUpdateCount;
    if (FUpdateCount == 0)
        SetupComPort();
}

// ---- Applying settings -------------------------------------------------------------------------

bool TCustomComPort::CanApply() const noexcept {
    return FConnected && FUpdateCount == 0 && !LoadingOrDesigning();
}

void TCustomComPort::SetupComPort() {
    ApplyBuffer();
    ApplyDCB();
    ApplyTimeouts();
}

void TCustomComPort::ApplyDCB() {
    if (!CanApply())
        return;
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudRateToWin32(FBaudRate, FCustomBaudRate);
    dcb.fBinary = 1;
    dcb.fParity = FParity->Check() ? 1 : 0;
    dcb.fOutxCtsFlow = FFlowControl->OutCTSFlow() ? 1 : 0;
    dcb.fOutxDsrFlow = FFlowControl->OutDSRFlow() ? 1 : 0;
    dcb.fDtrControl = DTRControlToWin32(FFlowControl->ControlDTR()) & 3u;
    dcb.fDsrSensitivity = FFlowControl->DSRSensitivity() ? 1 : 0;
    dcb.fTXContinueOnXoff = FFlowControl->TxContinueOnXoff() ? 1 : 0;
    dcb.fOutX = FFlowControl->XonXoffOut() ? 1 : 0;
    dcb.fInX = FFlowControl->XonXoffIn() ? 1 : 0;
    const bool replace = FParity->Check() && FParity->Replace();
    dcb.fErrorChar = replace ? 1 : 0;
    dcb.fNull = FDiscardNull ? 1 : 0;
    dcb.fRtsControl = RTSControlToWin32(FFlowControl->ControlRTS()) & 3u;
    dcb.fAbortOnError = 0;
    dcb.XonLim = static_cast<WORD>(FBuffer->InputSize() / 4);
    dcb.XoffLim = static_cast<WORD>(FBuffer->InputSize() / 4);
    dcb.ByteSize = DataBitsToWin32(FDataBits);
    dcb.Parity = ParityToWin32(FParity->Bits());
    dcb.StopBits = StopBitsToWin32(FStopBits);
    dcb.XonChar = FFlowControl->XonChar();
    dcb.XoffChar = FFlowControl->XoffChar();
    dcb.ErrorChar = replace ? FParity->ReplaceChar() : '\0';
    dcb.EofChar = 0;
    dcb.EvtChar = FEventChar;
    if (!SetCommState(FHandle, &dcb))
        throw EComPort(CError_SetStateFailed, LastOsError());
}

void TCustomComPort::ApplyTimeouts() {
    if (!CanApply())
        return;
    // The signed settings go over as their 32-bit patterns: -1 is MAXDWORD.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = static_cast<DWORD>(FTimeouts->ReadInterval());
    timeouts.ReadTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts->ReadTotalMultiplier());
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(FTimeouts->ReadTotalConstant());
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts->WriteTotalMultiplier());
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(FTimeouts->WriteTotalConstant());
    if (!SetCommTimeouts(FHandle, &timeouts))
        throw EComPort(CError_TimeoutsFailed, LastOsError());
}

void TCustomComPort::ApplyBuffer() {
    if (!CanApply())
        return;
    if (!SetupComm(FHandle, static_cast<DWORD>(FBuffer->InputSize()),
                   static_cast<DWORD>(FBuffer->OutputSize())))
        throw EComPort(CError_SetupCommFailed, LastOsError());
}

} // namespace zv
