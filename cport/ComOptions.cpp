#include "cport/ComOptions.h"

#include "cport/ComPort.h"
#include "toolkit/Exception.h"

namespace zv {

// ---- TComOption
// ----------------------------------------------------------------------------------

void TComOption::RefuseAssign(TPersistent* Dest) {
    if (Dest == nullptr)
        throw EConvertError("Cannot assign a " + ClassName() + " to a nil");
    TPersistent::AssignTo(Dest); // raises the assign error
    throw EConvertError("Cannot assign a " + ClassName() + " to a " + Dest->ClassName());
}

// ---- TComTimeouts
// --------------------------------------------------------------------------------

void TComTimeouts::SetAndApply(std::int32_t& field, std::int32_t value) {
    if (field == value)
        return;
    field = value;
    if (ComPort() != nullptr)
        ComPort()->ApplyTimeouts();
}

void TComTimeouts::SetReadInterval(std::int32_t value) {
    SetAndApply(FReadInterval, value);
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) {
    SetAndApply(FReadTotalMultiplier, value);
}
void TComTimeouts::SetReadTotalConstant(std::int32_t value) {
    SetAndApply(FReadTotalConstant, value);
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) {
    SetAndApply(FWriteTotalMultiplier, value);
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) {
    SetAndApply(FWriteTotalConstant, value);
}

void TComTimeouts::AssignTo(TPersistent* Dest) {
    auto* target = dynamic_cast<TComTimeouts*>(Dest);
    if (target == nullptr)
        RefuseAssign(Dest);
    target->FReadInterval = FReadInterval;
    target->FReadTotalMultiplier = FReadTotalMultiplier;
    target->FReadTotalConstant = FReadTotalConstant;
    target->FWriteTotalMultiplier = FWriteTotalMultiplier;
    target->FWriteTotalConstant = FWriteTotalConstant;
}

// ---- TComFlowControl
// -----------------------------------------------------------------------------

void TComFlowControl::ApplyToPort() {
    if (ComPort() != nullptr)
        ComPort()->ApplyDCB();
}

template <typename T> void TComFlowControl::SetAndApply(T& field, T value) {
    if (field == value)
        return;
    field = value;
    ApplyToPort();
}

TFlowControl TComFlowControl::GetFlowControl() const noexcept {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut)
        return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut)
        return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
    if (value != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        switch (value) {
        case fcHardware:
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
            break;
        case fcSoftware:
            FXonXoffIn = true;
            FXonXoffOut = true;
            break;
        case fcNone:
        case fcCustom:
            break;
        }
    }
    ApplyToPort();
}

void TComFlowControl::SetOutCTSFlow(bool value) {
    SetAndApply(FOutCTSFlow, value);
}
void TComFlowControl::SetOutDSRFlow(bool value) {
    SetAndApply(FOutDSRFlow, value);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl value) {
    SetAndApply(FControlDTR, value);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl value) {
    SetAndApply(FControlRTS, value);
}
void TComFlowControl::SetXonXoffOut(bool value) {
    SetAndApply(FXonXoffOut, value);
}
void TComFlowControl::SetXonXoffIn(bool value) {
    SetAndApply(FXonXoffIn, value);
}
void TComFlowControl::SetDSRSensitivity(bool value) {
    SetAndApply(FDSRSensitivity, value);
}
void TComFlowControl::SetTxContinueOnXoff(bool value) {
    SetAndApply(FTxContinueOnXoff, value);
}
void TComFlowControl::SetXonChar(char value) {
    SetAndApply(FXonChar, value);
}
void TComFlowControl::SetXoffChar(char value) {
    SetAndApply(FXoffChar, value);
}

void TComFlowControl::AssignTo(TPersistent* Dest) {
    auto* target = dynamic_cast<TComFlowControl*>(Dest);
    if (target == nullptr)
        RefuseAssign(Dest);
    target->FOutCTSFlow = FOutCTSFlow;
    target->FOutDSRFlow = FOutDSRFlow;
    target->FControlDTR = FControlDTR;
    target->FControlRTS = FControlRTS;
    target->FXonXoffOut = FXonXoffOut;
    target->FXonXoffIn = FXonXoffIn;
    target->FDSRSensitivity = FDSRSensitivity;
    target->FTxContinueOnXoff = FTxContinueOnXoff;
    target->FXonChar = FXonChar;
    target->FXoffChar = FXoffChar;
}

// ---- TComParity
// ----------------------------------------------------------------------------------

template <typename T> void TComParity::SetAndApply(T& field, T value) {
    if (field == value)
        return;
    field = value;
    if (ComPort() != nullptr)
        ComPort()->ApplyDCB();
}

void TComParity::SetBits(TParityBits value) {
    SetAndApply(FBits, value);
}
void TComParity::SetCheck(bool value) {
    SetAndApply(FCheck, value);
}
void TComParity::SetReplace(bool value) {
    SetAndApply(FReplace, value);
}
void TComParity::SetReplaceChar(char value) {
    SetAndApply(FReplaceChar, value);
}

void TComParity::AssignTo(TPersistent* Dest) {
    auto* target = dynamic_cast<TComParity*>(Dest);
    if (target == nullptr)
        RefuseAssign(Dest);
    target->FBits = FBits;
    target->FCheck = FCheck;
    target->FReplace = FReplace;
    target->FReplaceChar = FReplaceChar;
}

// ---- TComBuffer
// ----------------------------------------------------------------------------------

void TComBuffer::SetAndApply(std::int32_t& field, std::int32_t value) {
    if (field == value)
        return;
    // The driver's queues take even sizes: a positive odd size is rounded down. (value % 2 is -1
    // for a negative odd value, which is kept as given.)
    field = (value % 2 == 1) ? value - 1 : value;
    if (ComPort() != nullptr)
        ComPort()->ApplyBuffer();
}

void TComBuffer::SetInputSize(std::int32_t value) {
    SetAndApply(FInputSize, value);
}
void TComBuffer::SetOutputSize(std::int32_t value) {
    SetAndApply(FOutputSize, value);
}

void TComBuffer::AssignTo(TPersistent* Dest) {
    auto* target = dynamic_cast<TComBuffer*>(Dest);
    if (target == nullptr)
        RefuseAssign(Dest);
    target->FInputSize = FInputSize;
    target->FOutputSize = FOutputSize;
}

} // namespace zv
