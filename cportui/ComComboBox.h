// TComComboBox: a drop-down list bound to one setting of a serial port component.
//
// The list holds every possible value of the setting (TComSelect fills it); attaching a port
// selects the port's current value; picking an item records it as the pending value, which
// reaches the port at once with AutoApply, otherwise when the owner calls ApplySettings. The
// control follows the port only when UpdateSettings runs (attach, ComProperty change, explicit
// call), and lets go of the port when the port is destroyed.
//
// Qt's parent owns the widget; the component part only takes part in free notification and
// the loading protocol (no component owner).
#pragma once

#include "cportui/ComSelect.h"
#include "toolkit/Component.h"
#include "toolkit/Object.h"

#include <QComboBox>

#include <memory>
#include <string>

namespace zv {

class TComboBoxStrings;

class TComComboBox : public QComboBox, public TComponent {
    Q_OBJECT

public:
    explicit TComComboBox(QWidget* Parent = nullptr);
    ~TComComboBox() override;

    // Reads the port's current value into the selection (no selection when the list lacks it).
    void UpdateSettings();
    // Writes the pending value to the port.
    void ApplySettings();

    TCustomComPort* ComPort() const noexcept;
    // Attaching asks the port for a removal notification and reads its value; detaching
    // (nullptr) leaves the list and the selection as they are.
    void SetComPort(TCustomComPort* Value);
    TComProperty ComProperty() const noexcept;
    // Refills the list; then selects the port's value, or the first item when no port is set.
    void SetComProperty(TComProperty Value);
    bool AutoApply() const noexcept;
    void SetAutoApply(bool Value) noexcept;

    // The selected item's text; empty when nothing is selected.
    std::string Text() const;
    // Selects the item with this text (ASCII case ignored); a text the list lacks changes
    // nothing. While loading, a text that the list does not hold yet is kept and tried again at
    // Loaded, so the stored Text wins whatever order the settings were read in.
    void SetText(const std::string& Value);

    // The shared logic (its pending values), for owners and tests.
    const TComSelect& Select() const noexcept { return *FSelect; }
    // The item list as the component set's list type.
    TStrings& Items() noexcept;

    // Raised after a user's pick has been recorded (and applied with AutoApply).
    TNotifyEvent OnChange;

    void Loaded() override;

protected:
    // A user's pick: records Text as the pending value, then raises OnChange.
    virtual void Change();
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    // Created first: the list adapter and the select are in place before any Qt signal.
    std::unique_ptr<TComSelect> FSelect;
    std::unique_ptr<TComboBoxStrings> FItems;
    std::string FLoadedText;
};

} // namespace zv
