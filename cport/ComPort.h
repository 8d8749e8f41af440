// TCustomComPort: the serial port component; TComPort publishes it.
//
// This holds the port's settings and the rule by which a change reaches the device: a setter
// stores the value and calls the apply operation of its group (ApplyDCB, ApplyTimeouts,
// ApplyBuffer), which pushes the settings only while the port is open, outside a
// BeginUpdate/EndUpdate bracket, and not being loaded or designed. A change on a closed port is
// only recorded; the next open applies everything.
#pragma once

#include "cport/ComError.h"
#include "cport/ComOptions.h"
#include "cport/ComTypes.h"
#include "platform/win32.h"
#include "toolkit/Persistent.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zv {

class TCustomComPort : public TPersistent {
public:
    TCustomComPort();
    ~TCustomComPort() override;

    // ---- Settings ----------------------------------------------------------------------------
    bool Connected() const noexcept { return FConnected; }

    TBaudRate BaudRate() const noexcept { return FBaudRate; }
    void SetBaudRate(TBaudRate value);
    // The speed used while BaudRate is brCustom.
    std::int32_t CustomBaudRate() const noexcept { return FCustomBaudRate; }
    void SetCustomBaudRate(std::int32_t value);
    // Device name ("COM1").
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
    // True only while the stored value is true and no registered link takes received data.
    bool TriggersOnRxChar() const noexcept { return FTriggersOnRxChar && !FRxBufLinked; }
    // Refused while a link that takes received data is registered (EComPort 22).
    void SetTriggersOnRxChar(bool value);
    // Which setting groups the settings storage writes and reads.
    TStoredProps StoredProps() const noexcept { return FStoredProps; }
    void SetStoredProps(TStoredProps value);

    // ---- Batching ----------------------------------------------------------------------------
    // Changes between BeginUpdate and the matching EndUpdate are stored but not applied; the
    // final EndUpdate applies everything at once (SetupComPort). An unmatched EndUpdate does
    // nothing.
    void BeginUpdate() noexcept;
    void EndUpdate();

    // ---- Applying settings to the device -----------------------------------------------------
    // Each does nothing unless the port is open, outside an update bracket and neither loading
    // nor designing (CanApply).
    virtual void SetupComPort(); // ApplyBuffer, ApplyDCB, ApplyTimeouts
    virtual void ApplyDCB();
    virtual void ApplyTimeouts();
    virtual void ApplyBuffer();

protected:
    // True while settings may reach the device.
    bool CanApply() const noexcept;
    // The component is being loaded from a form description or edited in a form designer.
    bool LoadingOrDesigning() const noexcept { return false; }
    // Raises EComPort 14 when the port is connected and neither loading nor designing.
    void RefuseWhileConnected() const;

    // Fields in declared order. EventThread (the event thread object) and Links (the registered
    // links) come with the event thread.
    bool FThreadCreated = false;
    HANDLE FHandle = INVALID_HANDLE_VALUE;
    HWND FWindow = nullptr;
    std::int32_t FUpdateCount = 0;
    bool FTriggersOnRxChar = true;
    // EventThreadPriority (normal) comes with the toolkit's thread priority type.
    bool FRxBufLinked = false;
    bool FConnected = false;
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
};

// The published port component.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

} // namespace zv
