#include "cportui/ComSelect.h"

#include "cport/ComPort.h"
#include "cport/EnumComPorts.h"
#include "toolkit/Strings.h"

namespace zv {

namespace {

// Fills Items with the text of every value of enumeration E, in ordinal order, so that the
// position of a value in the list is its ordinal.
template <typename E, typename ToStr> void FillWithValues(TStrings& Items, ToStr toStr) {
    for (std::size_t i = 0; i < EnumCount<E>; ++i)
        Items.Add(toStr(static_cast<E>(i)));
}

// Brackets the refill of a list, so that a control rebuilds what it shows once, at the end,
// also when filling raises.
class TListUpdate {
public:
    explicit TListUpdate(TStrings& Items) : FItems(Items) { FItems.BeginUpdate(); }
    ~TListUpdate() { FItems.EndUpdate(); }
    TListUpdate(const TListUpdate&) = delete;
    TListUpdate& operator=(const TListUpdate&) = delete;

private:
    TStrings& FItems;
};

} // namespace

void TComSelect::SetComProperty(TComProperty Value) {
    FComProperty = Value;
    switch (Value) {
    case cpNone:
        if (FItems)
            FItems->Clear();
        break;
    case cpPort:
        SelectPort();
        break;
    case cpBaudRate:
        SelectBaudRate();
        break;
    case cpDataBits:
        SelectDataBits();
        break;
    case cpStopBits:
        SelectStopBits();
        break;
    case cpParity:
        SelectParity();
        break;
    case cpFlowControl:
        SelectFlowControl();
        break;
    }
}

void TComSelect::SelectPort() {
    const TListUpdate update(*FItems);
    FItems->Clear();
    EnumComPorts(FItems);
}

void TComSelect::SelectBaudRate() {
    const TListUpdate update(*FItems);
    FItems->Clear();
    FillWithValues<TBaudRate>(*FItems, BaudRateToStr);
}

void TComSelect::SelectDataBits() {
    const TListUpdate update(*FItems);
    FItems->Clear();
    FillWithValues<TDataBits>(*FItems, DataBitsToStr);
}

void TComSelect::SelectStopBits() {
    const TListUpdate update(*FItems);
    FItems->Clear();
    FillWithValues<TStopBits>(*FItems, StopBitsToStr);
}

void TComSelect::SelectParity() {
    const TListUpdate update(*FItems);
    FItems->Clear();
    FillWithValues<TParityBits>(*FItems, ParityToStr);
}

void TComSelect::SelectFlowControl() {
    const TListUpdate update(*FItems);
    FItems->Clear();
    FillWithValues<TFlowControl>(*FItems, FlowControlToStr);
}

std::string TComSelect::CurrentText() const {
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        return FComPort->Port();
    case cpBaudRate:
        return BaudRateToStr(FComPort->BaudRate());
    case cpDataBits:
        return DataBitsToStr(FComPort->DataBits());
    case cpStopBits:
        return StopBitsToStr(FComPort->StopBits());
    case cpParity:
        return ParityToStr(FComPort->Parity()->Bits());
    case cpFlowControl:
        return FlowControlToStr(FComPort->FlowControl()->GetFlowControl());
    }
    return {};
}

void TComSelect::SetPending(const std::string& Str) {
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        FPort = Str;
        break;
    case cpBaudRate:
        FBaudRate = StrToBaudRate(Str);
        break;
    case cpDataBits:
        FDataBits = StrToDataBits(Str);
        break;
    case cpStopBits:
        FStopBits = StrToStopBits(Str);
        break;
    case cpParity:
        FParity = StrToParity(Str);
        break;
    case cpFlowControl:
        FFlowControl = StrToFlowControl(Str);
        break;
    }
}

void TComSelect::UpdateSettings(int& ItemIndex) {
    if (!FComPort || FComProperty == cpNone)
        return;
    ItemIndex = FItems->IndexOf(CurrentText());
    if (ItemIndex != -1)
        SetPending(FItems->Get(ItemIndex));
}

void TComSelect::Change(const std::string& Str) {
    SetPending(Str);
    if (FAutoApply)
        ApplySettings();
}

void TComSelect::ApplySettings() {
    if (!FComPort)
        return;
    switch (FComProperty) {
    case cpNone:
        break;
    case cpPort:
        if (!FPort.empty())
            FComPort->SetPort(FPort);
        break;
    case cpBaudRate:
        FComPort->SetBaudRate(FBaudRate);
        break;
    case cpDataBits:
        FComPort->SetDataBits(FDataBits);
        break;
    case cpStopBits:
        FComPort->SetStopBits(FStopBits);
        break;
    case cpParity:
        FComPort->Parity()->SetBits(FParity);
        break;
    case cpFlowControl:
        FComPort->FlowControl()->SetFlowControl(FFlowControl);
        break;
    }
}

} // namespace zv
