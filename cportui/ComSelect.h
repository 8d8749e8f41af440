// TComSelect: what a selector control shares with every other: which port setting it edits,
// the list of that setting's possible values, the value the user chose, and how that value is
// read from and written to the port. The controls (TComComboBox, TComRadioGroup) only translate
// between this object and their own item list and selection.
#pragma once

#include "cport/ComTypes.h"
#include "toolkit/Object.h"

#include <cstdint>
#include <string>

namespace zv {

class TCustomComPort;
class TStrings;

// Which port setting a selector edits. Stored by name in form descriptions: keep the order.
enum TComProperty : std::uint8_t {
    cpNone,
    cpPort,
    cpBaudRate,
    cpDataBits,
    cpStopBits,
    cpParity,
    cpFlowControl
};

class TComSelect : public TObject {
public:
    TComSelect() = default;

    // The owning control's item list; not owned. Must be set before any list is filled.
    TStrings* Items() const noexcept { return FItems; }
    void SetItems(TStrings* Value) noexcept { FItems = Value; }

    TComProperty ComProperty() const noexcept { return FComProperty; }
    // Records the kind and refills the item list (empty for cpNone). Filling the port list
    // raises what EnumComPorts raises; the list is then left empty.
    void SetComProperty(TComProperty Value);

    TCustomComPort* ComPort() const noexcept { return FComPort; }
    void SetComPort(TCustomComPort* Value) noexcept { FComPort = Value; }
    bool AutoApply() const noexcept { return FAutoApply; }
    void SetAutoApply(bool Value) noexcept { FAutoApply = Value; }

    // Each clears the item list and fills it with the values of one setting.
    void SelectPort();
    void SelectBaudRate();
    void SelectDataBits();
    void SelectStopBits();
    void SelectParity();
    void SelectFlowControl();

    // Reads the port's current value of the setting and sets ItemIndex to its position in the
    // list (-1 when the list lacks it); a value found becomes the pending value. Without a port
    // or with cpNone nothing happens and ItemIndex is not written.
    void UpdateSettings(int& ItemIndex);
    // Takes the chosen item's text as the pending value; applies it when AutoApply is on.
    void Change(const std::string& Str);
    // Writes the pending value of the current setting to the port; without a port, nothing.
    // An empty pending port name (no port was ever chosen or found) is never written: no device
    // has that name, and writing it would only make the port unusable.
    void ApplySettings();

    // The pending values, for the controls' owners and for tests.
    const std::string& PendingPort() const noexcept { return FPort; }
    TBaudRate PendingBaudRate() const noexcept { return FBaudRate; }
    TDataBits PendingDataBits() const noexcept { return FDataBits; }
    TStopBits PendingStopBits() const noexcept { return FStopBits; }
    TParityBits PendingParity() const noexcept { return FParity; }
    TFlowControl PendingFlowControl() const noexcept { return FFlowControl; }

private:
    // The port's current value of the setting as the list shows it.
    std::string CurrentText() const;
    // Sets the pending value of the current setting from an item text.
    void SetPending(const std::string& Str);

    // Pending values: all start zeroed (empty name, brCustom, dbFive, sbOneStopBit, prNone,
    // fcHardware); only the one of the current ComProperty is used.
    std::string FPort;
    TBaudRate FBaudRate = brCustom;
    TDataBits FDataBits = dbFive;
    TStopBits FStopBits = sbOneStopBit;
    TParityBits FParity = prNone;
    TFlowControl FFlowControl = fcHardware;
    TStrings* FItems = nullptr;
    TComProperty FComProperty = cpNone;
    TCustomComPort* FComPort = nullptr;
    bool FAutoApply = false;
};

} // namespace zv
