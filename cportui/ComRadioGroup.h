// TComRadioGroup: a radio group bound to one setting of a serial port component; the same
// rules as TComComboBox, with one button per value.
#pragma once

#include "cportui/ComSelect.h"
#include "cportui/RadioGroup.h"
#include "toolkit/Component.h"

#include <memory>

namespace zv {

class TComRadioGroup : public TRadioGroup, public TComponent {
    Q_OBJECT

public:
    explicit TComRadioGroup(QWidget* Parent = nullptr);
    ~TComRadioGroup() override;

    // Reads the port's current value into the chosen button (none when the list lacks it).
    void UpdateSettings();
    void ApplySettings();

    TCustomComPort* ComPort() const noexcept;
    void SetComPort(TCustomComPort* Value);
    TComProperty ComProperty() const noexcept;
    void SetComProperty(TComProperty Value);
    bool AutoApply() const noexcept;
    void SetAutoApply(bool Value) noexcept;

    const TComSelect& Select() const noexcept { return *FSelect; }

protected:
    // A user's choice: a button other than the last reported one records its item as the
    // pending value; then OnClick. Choosing the chosen button again changes nothing.
    void Click() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    std::unique_ptr<TComSelect> FSelect;
    int FOldIndex = -1; // the last reported index
};

} // namespace zv
