#include "cport/ComPort.h"

namespace zv {

TCustomComPort::TCustomComPort()
    : FParity(std::make_unique<TComParity>()), FFlowControl(std::make_unique<TComFlowControl>()) {
    FTimeouts = std::make_unique<TComTimeouts>();
    FBuffer = std::make_unique<TComBuffer>();
    // Bound to this port so that their setters apply changes.
    FParity->SetComPort(this);
    FFlowControl->SetComPort(this);
    FTimeouts->SetComPort(this);
    FBuffer->SetComPort(this);
}

TCustomComPort::~TCustomComPort() = default;

// ---- Settings
// ------------------------------------------------------------------------------------

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
    // An open port moves to the new device (close, then open) once opening exists.
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

// ---- Batching
// ------------------------------------------------------------------------------------

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

// ---- Applying settings
// ---------------------------------------------------------------------------

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
    // Filling the DCB and SetCommState come with opening the device.
}

void TCustomComPort::ApplyTimeouts() {
    if (!CanApply())
        return;
    // SetCommTimeouts comes with opening the device.
}

void TCustomComPort::ApplyBuffer() {
    if (!CanApply())
        return;
    // SetupComm comes with opening the device.
}

} // namespace zv
