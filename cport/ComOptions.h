// The four option objects a port owns: time-outs, flow control, parity and queue sizes.
//
// Each holds plain setting values and a non-owning reference to its port. A setter ignores a
// value equal to the current one; otherwise it stores the value and asks the port to apply the
// group (which reaches the device only while the port is open and not inside an update bracket).
// A free-standing object (no port) only stores.
#pragma once

#include "cport/ComTypes.h"
#include "toolkit/Persistent.h"

#include <cstdint>

namespace zv {

class TCustomComPort;

// Base of the option objects: the port reference and the class check of AssignTo.
class TComOption : public TPersistent {
public:
    TCustomComPort* ComPort() const noexcept { return FComPort; }
    // Binds the object to the port that owns it (or to none).
    void SetComPort(TCustomComPort* port) noexcept { FComPort = port; }

protected:
    TComOption() = default;
    // AssignTo for a Dest of another class: the assign error, Dest unchanged.
    [[noreturn]] void RefuseAssign(TPersistent* Dest);

private:
    TCustomComPort* FComPort = nullptr;
};

// The five values of the Win32 time-out record, in milliseconds, in its member order.
// ReadInterval -1 is MAXDWORD: with both read totals 0 a read returns at once with what has
// arrived. A change re-applies through the port's ApplyTimeouts.
class TComTimeouts : public TComOption {
public:
    TComTimeouts() = default;

    std::int32_t ReadInterval() const noexcept { return FReadInterval; }
    std::int32_t ReadTotalMultiplier() const noexcept { return FReadTotalMultiplier; }
    std::int32_t ReadTotalConstant() const noexcept { return FReadTotalConstant; }
    std::int32_t WriteTotalMultiplier() const noexcept { return FWriteTotalMultiplier; }
    std::int32_t WriteTotalConstant() const noexcept { return FWriteTotalConstant; }

    void SetReadInterval(std::int32_t value);
    void SetReadTotalMultiplier(std::int32_t value);
    void SetReadTotalConstant(std::int32_t value);
    void SetWriteTotalMultiplier(std::int32_t value);
    void SetWriteTotalConstant(std::int32_t value);

    // Into another TComTimeouts: copies the five values without applying anything.
    void AssignTo(TPersistent* Dest) override;

private:
    void SetAndApply(std::int32_t& field, std::int32_t value);

    std::int32_t FReadInterval = -1;
    std::int32_t FReadTotalMultiplier = 0;
    std::int32_t FReadTotalConstant = 0;
    std::int32_t FWriteTotalMultiplier = 100;
    std::int32_t FWriteTotalConstant = 1000;
};

// Handshake settings; a change re-applies through the port's ApplyDCB.
class TComFlowControl : public TComOption {
public:
    TComFlowControl() = default;

    // The summary of ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut: fcHardware (RTS
    // handshake + CTS flow, no XON/XOFF), fcSoftware (XON/XOFF both ways, RTS disabled, no CTS
    // flow), fcNone (all four off), otherwise fcCustom.
    TFlowControl GetFlowControl() const noexcept;
    // Writes the four fields of the summary (fcCustom leaves them alone) without running their
    // setters, then applies once — also for fcCustom and for an unchanged value.
    void SetFlowControl(TFlowControl value);

    bool OutCTSFlow() const noexcept { return FOutCTSFlow; }
    bool OutDSRFlow() const noexcept { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const noexcept { return FControlDTR; }
    TRTSFlowControl ControlRTS() const noexcept { return FControlRTS; }
    bool XonXoffOut() const noexcept { return FXonXoffOut; }
    bool XonXoffIn() const noexcept { return FXonXoffIn; }
    bool DSRSensitivity() const noexcept { return FDSRSensitivity; }
    bool TxContinueOnXoff() const noexcept { return FTxContinueOnXoff; }
    char XonChar() const noexcept { return FXonChar; }
    char XoffChar() const noexcept { return FXoffChar; }

    void SetOutCTSFlow(bool value);
    void SetOutDSRFlow(bool value);
    void SetControlDTR(TDTRFlowControl value);
    void SetControlRTS(TRTSFlowControl value);
    void SetXonXoffOut(bool value);
    void SetXonXoffIn(bool value);
    void SetDSRSensitivity(bool value);
    void SetTxContinueOnXoff(bool value);
    void SetXonChar(char value);
    void SetXoffChar(char value);

    // Into another TComFlowControl: copies the ten fields without applying anything.
    void AssignTo(TPersistent* Dest) override;

private:
    template <typename T> void SetAndApply(T& field, T value);
    void ApplyToPort();

    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;  // DC1
    char FXoffChar = 19; // DC3
};

// Parity settings; a change re-applies through the port's ApplyDCB. Replace and ReplaceChar
// take effect only while Check is on.
class TComParity : public TComOption {
public:
    TComParity() = default;

    TParityBits Bits() const noexcept { return FBits; }
    bool Check() const noexcept { return FCheck; }
    bool Replace() const noexcept { return FReplace; }
    char ReplaceChar() const noexcept { return FReplaceChar; }

    void SetBits(TParityBits value);
    void SetCheck(bool value);
    void SetReplace(bool value);
    void SetReplaceChar(char value);

    // Into another TComParity: copies the four fields without applying anything.
    void AssignTo(TPersistent* Dest) override;

private:
    template <typename T> void SetAndApply(T& field, T value);

    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

// Sizes of the driver's queues in bytes; a change re-applies through the port's ApplyBuffer.
// A positive odd size is stored one less (the driver takes even sizes); negative values are
// stored as given.
class TComBuffer : public TComOption {
public:
    TComBuffer() = default;

    std::int32_t InputSize() const noexcept { return FInputSize; }
    std::int32_t OutputSize() const noexcept { return FOutputSize; }

    void SetInputSize(std::int32_t value);
    void SetOutputSize(std::int32_t value);

    // Into another TComBuffer: copies both sizes without applying anything.
    void AssignTo(TPersistent* Dest) override;

private:
    void SetAndApply(std::int32_t& field, std::int32_t value);

    std::int32_t FInputSize = 1024;
    std::int32_t FOutputSize = 1024;
};

} // namespace zv
