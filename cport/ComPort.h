// TCustomComPort: the serial port component; TComPort publishes it.
//
// Settings: a setter stores the value and calls the apply operation of its group (ApplyDCB,
// ApplyTimeouts, ApplyBuffer), which pushes the settings only while the port is open, outside a
// BeginUpdate/EndUpdate bracket, and not being loaded or designed. A change on a closed port is
// only recorded; the next Open applies everything.
//
// Lifecycle: Open opens the device "\\.\" + Port for overlapped I/O, applies the settings, starts
// the event thread (when Events is not empty) and announces the open; Close aborts pending I/O,
// stops the thread, closes the device and announces the close.
//
// I/O: overlapped reads and writes on TAsync records and their synchronous forms, queue counts,
// status, line control. Every failing system call raises EComPort with its table code and the
// system's last-error code read right after the call.
//
// Events: the event thread hands each wake-up over by SyncMethod: smThreadSync runs the handlers
// on the main thread through TThread::Synchronize, smWindowSync sends one message per event to a
// hidden window, smNone runs them on the event thread. Each handler tells the registered links
// first, in registration order, then raises the port's own callback.
//
// Threads: the main thread makes every call into the port (link registration included). A port
// may be closed or destroyed from inside one of its own callbacks in every mode; the rest of that
// wake-up is then dropped and no callback runs after OnAfterClose. In smNone mode a handler on the
// event thread may close the port while the main thread closes or destroys it too: one of them
// closes, and the main thread's Close (or destructor) returns once that close is over.
#pragma once

#include "cport/ComAsync.h"
#include "cport/ComError.h"
#include "cport/ComLink.h"
#include "cport/ComOptions.h"
#include "cport/ComTypes.h"
#include "platform/win32.h"
#include "toolkit/Component.h"
#include "toolkit/MessageWindow.h"
#include "toolkit/Thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zv {

class TComThread;
class TIniFile;
class TRegistry;

// The message the event thread sends to the port's window in smWindowSync mode; WParam is the
// event's EV_* mask bit.
inline constexpr UINT CM_COMPORT_EVENT = WM_USER + 1;

class TCustomComPort : public TComponent {
public:
    explicit TCustomComPort(TComponent* AOwner = nullptr);
    ~TCustomComPort() override;

    // ---- Lifecycle ---------------------------------------------------------------------------
    // Opens the device "\\.\" + Port and applies the settings; does nothing when open or
    // designing. Raises EComPort 1 (device), 9, 7, 8 (settings refused; the device is closed
    // again).
    void Open();
    // Announces the close, aborts pending I/O (EComPort 5 leaves the port open), stops the event
    // thread, closes the device and announces it. Does nothing when closed or designing.
    // Exactly one thread closes: a Close called while another thread closes the port waits until
    // that close is over (on the main thread it serves hand-offs meanwhile); called from the
    // close's own callbacks, or from a handler on the event thread that the closing thread is
    // stopping, it does nothing.
    void Close();
    bool Connected() const noexcept { return FConnected; }
    // Opens (true) or closes (false); while loading or designing it only records the wish.
    void SetConnected(bool Value);
    // The open device (INVALID_HANDLE_VALUE while closed).
    HANDLE Handle() const noexcept { return FHandle; }
    // True while the event thread exists.
    bool ThreadCreated() const noexcept { return FEventThread != nullptr; }
    // Opens the stored Connected state once loading is over (a device opened by a direct Open
    // while loading gets the settings that loading held back instead); an exception goes to the
    // application's exception handler and a port that failed to open stays closed.
    void Loaded() override;

    // Runs the port setup dialog on this port. The dialog lives in the widget layer above the
    // component, which installs it with SetSetupDialog; without one this raises Exception.
    // Returns the dialog's answer: true when the user confirmed it.
    bool ShowSetupDialog();
    using TSetupDialogProc = bool (*)(TCustomComPort* ComPort);
    static void SetSetupDialog(TSetupDialogProc Proc) noexcept;

    // ---- Settings ----------------------------------------------------------------------------
    TBaudRate BaudRate() const noexcept { return FBaudRate; }
    void SetBaudRate(TBaudRate value);
    // The speed used while BaudRate is brCustom.
    std::int32_t CustomBaudRate() const noexcept { return FCustomBaudRate; }
    void SetCustomBaudRate(std::int32_t value);
    // Device name ("COM1"). Setting a new name on an open port closes it and opens the new one.
    const std::string& Port() const noexcept { return FPort; }
    void SetPort(const std::string& value);
    TStopBits StopBits() const noexcept { return FStopBits; }
    void SetStopBits(TStopBits value);
    TDataBits DataBits() const noexcept { return FDataBits; }
    void SetDataBits(TDataBits value);
    // Drop received NUL bytes (DCB fNull).
    bool DiscardNull() const noexcept { return FDiscardNull; }
    void SetDiscardNull(bool value);
    // The character whose arrival raises evRxFlag (DCB EvtChar).
    char EventChar() const noexcept { return FEventChar; }
    void SetEventChar(char value);
    // The events the event thread waits for; read when the thread is created at open, so a
    // change takes effect at the next open. Empty: no event thread.
    TComEvents Events() const noexcept { return FEvents; }
    void SetEvents(TComEvents value);

    // The port's own option objects. Setting one copies the given object into the port's own
    // (Assign) and then applies the group once, even when nothing changed.
    TComParity* Parity() const noexcept { return FParity.get(); }
    void SetParity(TComParity* value);
    TComBuffer* Buffer() const noexcept { return FBuffer.get(); }
    void SetBuffer(TComBuffer* value);
    TComFlowControl* FlowControl() const noexcept { return FFlowControl.get(); }
    void SetFlowControl(TComFlowControl* value);
    TComTimeouts* Timeouts() const noexcept { return FTimeouts.get(); }
    void SetTimeouts(TComTimeouts* value);

    // How line events reach the application; refused while connected (EComPort 14).
    TSyncMethod SyncMethod() const noexcept { return FSyncMethod; }
    void SetSyncMethod(TSyncMethod value);
    // Priority of the event thread; refused while connected (EComPort 14).
    TThreadPriority EventThreadPriority() const noexcept { return FEventThreadPriority; }
    void SetEventThreadPriority(TThreadPriority value);
    // True only while the stored value is true and no registered link takes received data.
    bool TriggersOnRxChar() const noexcept { return FTriggersOnRxChar && !FRxBufLinked; }
    // Refused while a link that takes received data is registered (EComPort 22).
    void SetTriggersOnRxChar(bool value);
    // Which setting groups the settings storage writes and reads.
    TStoredProps StoredProps() const noexcept { return FStoredProps; }
    void SetStoredProps(TStoredProps value);

    // ---- Settings storage (ComStorage.cpp) -----------------------------------------------------
    // Writes the groups of StoredProps to the initialisation file StoreTo (section: the
    // component's Name) or to the registry key text StoreTo ("ROOT\path", see OpenSettingsKey).
    // Any failure raises EComPort 16 without a system code; values written before it stay.
    void StoreSettings(TStoreType StoreType, const std::string& StoreTo);
    // Reads the groups of StoredProps and gives each value to its setter, inside one
    // BeginUpdate/EndUpdate bracket, so an open port is reconfigured once at the end. Any
    // failure, the closing EndUpdate's included, raises EComPort 17 without a system code;
    // values loaded before it stay.
    void LoadSettings(TStoreType StoreType, const std::string& LoadFrom);
    // The work of the two, on a storage object already open on the right file or key.
    virtual void StoreRegistry(TRegistry* Reg);
    virtual void StoreIniFile(TIniFile* IniFile);
    virtual void LoadRegistry(TRegistry* Reg);
    virtual void LoadIniFile(TIniFile* IniFile);

    // ---- Batching ----------------------------------------------------------------------------
    // Changes between BeginUpdate and the matching EndUpdate are stored but not applied; the
    // final EndUpdate applies everything at once (SetupComPort). An unmatched EndUpdate does
    // nothing.
    void BeginUpdate() noexcept;
    void EndUpdate();

    // ---- Applying settings to the device -----------------------------------------------------
    // Each does nothing unless the port is open, outside an update bracket and neither loading
    // nor designing (CanApply).
    virtual void SetupComPort();  // ApplyBuffer, ApplyDCB, ApplyTimeouts
    virtual void ApplyDCB();      // EComPort 7
    virtual void ApplyTimeouts(); // EComPort 8
    virtual void ApplyBuffer();   // EComPort 9

    // ---- Input and output --------------------------------------------------------------------
    // Start an overlapped transfer on AsyncPtr and return the bytes transferred at once (0 while
    // pending). The buffer must stay valid and unchanged until WaitForAsync. EComPort 4 for no
    // record (or a negative count), 2 (write) / 3 (read) when the device refuses.
    std::int32_t WriteAsync(const void* Buffer, std::int32_t Count, PAsync AsyncPtr);
    // An empty string starts nothing and returns 0. The string must outlive the operation.
    std::int32_t WriteStrAsync(const std::string& Str, PAsync AsyncPtr);
    std::int32_t ReadAsync(void* Buffer, std::int32_t Count, PAsync AsyncPtr);
    // Sizes Str to Count (empty for Count <= 0, which starts nothing) and reads into it.
    std::int32_t ReadStrAsync(std::string& Str, std::int32_t Count, PAsync AsyncPtr);
    // Waits for the operation on AsyncPtr and returns the bytes it transferred. A write that
    // ended without draining (aborted, failed, short) with nothing queued behind it tells the
    // links that transmission is off, as evTxEmpty does for one that drained.
    std::int32_t WaitForAsync(PAsync AsyncPtr);
    // Whether the operation on AsyncPtr has completed; EComPort 6 when the state is unreadable.
    bool IsAsyncCompleted(PAsync AsyncPtr);
    // Aborts every pending read and write (they complete with ERROR_OPERATION_ABORTED).
    void AbortAllAsync();

    // Synchronous forms: start, wait, free the record. How long they take is set by Timeouts.
    std::int32_t Write(const void* Buffer, std::int32_t Count);
    std::int32_t WriteStr(const std::string& Str);
    std::int32_t Read(void* Buffer, std::int32_t Count);
    // Str ends up holding exactly the bytes read.
    std::int32_t ReadStr(std::string& Str, std::int32_t Count);

    // Waits for line events without the event thread (only while ThreadCreated is false,
    // EComPort 20 otherwise): returns in Events what occurred, or an empty set after the time-out
    // (milliseconds, -1 without limit) or once StopEvent (0 for none) is signalled.
    void WaitForEvent(TComEvents& Events, HANDLE StopEvent, std::int32_t Timeout);
    // Sends Ch ahead of the data waiting in the output queue.
    void TransmitChar(char Ch);

    // Queue counts and status; each clears the device's error flags.
    std::int32_t InputCount();
    std::int32_t OutputCount();
    TComStatusFlags StateFlags();
    TComErrors LastErrors();
    TComSignals Signals();

    // Line control.
    void SetBreak(bool OnOff);
    void SetDTR(bool OnOff);
    void SetRTS(bool OnOff);
    void SetXonXoff(bool OnOff);
    // Discards the input and/or output queue.
    void ClearBuffer(bool Input, bool Output);

    // ---- Links -------------------------------------------------------------------------------
    // EComPort 18 when the link is already registered / not registered.
    void RegisterLink(TComLink* ALink);
    void UnRegisterLink(TComLink* ALink);
    // True when a registered link takes received data (OnLinkRxData).
    bool HasLink() const noexcept;
    int LinkCount() const noexcept { return static_cast<int>(FLinks.size()); }

    // ---- Callbacks (Sender is the port) ------------------------------------------------------
    TNotifyEvent OnAfterOpen;
    TNotifyEvent OnAfterClose;
    TNotifyEvent OnBeforeOpen;
    TNotifyEvent OnBeforeClose;
    TRxCharEvent OnRxChar;
    TRxBufEvent OnRxBuf;
    TNotifyEvent OnTxEmpty;
    TNotifyEvent OnBreak;
    TNotifyEvent OnRing;
    TComSignalEvent OnCTSChange;
    TComSignalEvent OnDSRChange;
    TComSignalEvent OnRLSDChange;
    TNotifyEvent OnRxFlag;
    TComErrorEvent OnError;
    TNotifyEvent OnRx80Full;

    // ---- Link announcements (also used by the I/O operations) --------------------------------
    // Each walks the links registered when it starts, in registration order, skipping links
    // unregistered meanwhile, and stops when the port is closed or destroyed by a callback.
    void SendSignalToLink(TComLinkEvent Event, bool OnOff);
    void NotifyLink(TComLinkEvent Event);
    void TxNotifyLink(const void* Buffer, std::int32_t Count);

    // ---- Per-event handlers (run on the dispatching thread) ----------------------------------
    void CallAfterOpen();
    void CallAfterClose();
    void CallBeforeOpen();
    void CallBeforeClose();
    void CallRxChar();
    void CallTxEmpty();
    void CallBreak();
    void CallRing();
    void CallRxFlag();
    void CallCTSChange();
    void CallDSRChange();
    void CallError();
    void CallRLSDChange();
    void CallRx80Full();
    // true: the current CTS, DSR and RLSD states; false: all three off.
    void CheckSignals(bool Open);

protected:
    virtual void CreateHandle();
    virtual void DestroyHandle();

    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(std::int32_t Count);
    virtual void DoRxBuf(const void* Buffer, std::int32_t Count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool OnOff);
    virtual void DoDSRChange(bool OnOff);
    virtual void DoError(TComErrors Errors);
    virtual void DoRLSDChange(bool OnOff);
    virtual void DoRx80Full();

    // The window procedure of the smWindowSync hand-off.
    void WindowMethod(TMessage& Message);

    // True while settings may reach the device.
    bool CanApply() const noexcept;
    // The component is being loaded from a form description or edited in a form designer.
    bool LoadingOrDesigning() const noexcept { return Loading() || Designing(); }
    // Raises EComPort 14 when the port is connected and neither loading nor designing.
    void RefuseWhileConnected() const;

    // What the callbacks of one open session share with the code that called them: whether the
    // port still exists, how many closes have begun and which thread is closing it. A handler that
    // runs several callbacks checks it after each one, so a callback may close or destroy the
    // port; a close ends here, after its last callback, even when that callback destroyed it.
    struct TLife {
        std::atomic<bool> Alive{true};
        std::atomic<std::uint32_t> Closes{0};
        // The thread running a close, from its start to the end of OnAfterClose (none otherwise).
        std::atomic<std::thread::id> Closer{};
        // The close has closed the device and is announcing it (OnAfterClose may reopen the port).
        std::atomic<bool> Announcing{false};
        // Closes (and openings) of a port reopened by OnAfterClose, nested in the close being
        // announced. Only the closing thread changes it; dispatch looks at it (see Closing).
        std::atomic<int> Nested{0};
        // The closing thread is in OnBeforeClose (a port destroyed there finishes that close).
        std::atomic<bool> InBeforeClose{false};
        // The thread holding Closer is opening the device, not closing it (see TOpenClaim).
        std::atomic<bool> Opening{false};
    };
    class TCallbackGuard {
    public:
        explicit TCallbackGuard(const TCustomComPort* Port)
            : FLife(Port->FLife), FCloses(FLife->Closes.load()) {}
        // The port exists and has not begun a close since the guard was taken.
        bool Live() const noexcept { return Alive() && FLife->Closes.load() == FCloses; }
        // The port still exists.
        bool Alive() const noexcept { return FLife->Alive.load(); }

    private:
        std::shared_ptr<TLife> FLife;
        std::uint32_t FCloses;
    };

    // Fields in declared order.
    std::unique_ptr<TComThread> FEventThread;
    // Atomic: Open looks at it while a close on another thread may be changing it.
    std::atomic<HANDLE> FHandle{INVALID_HANDLE_VALUE};
    HWND FWindow = nullptr;
    std::int32_t FUpdateCount = 0;
    std::vector<TComLink*> FLinks;
    bool FTriggersOnRxChar = true;
    TThreadPriority FEventThreadPriority = tpNormal;
    bool FRxBufLinked = false;
    std::atomic<bool> FConnected{false};
    TBaudRate FBaudRate = br9600;
    std::int32_t FCustomBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = AllComEvents;
    std::unique_ptr<TComBuffer> FBuffer;
    std::unique_ptr<TComParity> FParity;
    std::unique_ptr<TComTimeouts> FTimeouts;
    std::unique_ptr<TComFlowControl> FFlowControl;
    TSyncMethod FSyncMethod = smThreadSync;
    TStoredProps FStoredProps{spBasic};

private:
    friend class TComThread;

    // Makes the calling thread the one that closes the port; false when Close must do nothing
    // (see Close). A close running on another thread is waited for first.
    bool BeginClose();
    // Ends the close this thread began: the next close may begin and waiting threads go on.
    static void EndClose(const std::shared_ptr<TLife>& Life);
    // A close is running (OnBeforeClose to OnAfterClose): event dispatch stops. A port that
    // OnAfterClose opened again is a new session, which dispatches until it is closed in turn.
    bool Closing() const noexcept {
        const TLife& life = *FLife;
        if (life.Closer.load() == std::thread::id{} || life.Opening.load())
            return false;
        const bool reopened = life.Announcing.load() && life.Nested.load() == 0 && FConnected;
        return !reopened;
    }
    // Holds the close's claim while Open creates the device and its thread.
    class TOpenClaim;
    // The steps of Close after OnBeforeClose.
    void FinishClose();
    // Ends the event thread and closes the device: the tail of every close, the destructor's too.
    void ReleaseDevice();
    // Ends the event thread: joins it, or, when called on the thread that is handling one of its
    // wake-ups (a callback closing the port), detaches it so it ends by itself.
    // Returns the joined thread (nullptr when detached), to be freed once the device is closed.
    std::unique_ptr<TComThread> EndEventThread();
    bool InsideDispatch() const noexcept;
    // Links registered now and still registered: the walk of the announcements.
    bool IsRegistered(const TComLink* ALink) const noexcept;
    // InputCount for the port's own use (a wake-up's block size, the links' reception signal):
    // the error flags the query clears are kept for the next LastErrors, so that a read does
    // not swallow the errors the next EV_ERR wake-up is to report.
    std::int32_t QueuedKeepingErrors();
    // OutputCount for the port's own use, keeping the error flags in the same way.
    std::int32_t OutQueuedKeepingErrors();
    // A write ended without draining (aborted, failed, cut short by its time-out): the links
    // hear that transmission is off unless another write is still queued.
    void WriteEndedEarly();

    std::shared_ptr<TLife> FLife = std::make_shared<TLife>();
    // The thread running this port's event handlers right now (smThreadSync: the main thread
    // inside the hand-off; smNone: the event thread), so that Close knows not to wait for it.
    std::atomic<std::thread::id> FDispatchThread{};
    // Error flags cleared by QueuedKeepingErrors and not yet reported (CE_ bits).
    std::atomic<DWORD> FKeptErrors{0};
};

// The published port component.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

} // namespace zv
