#include "cportui/ComRadioGroup.h"

#include "cport/ComPort.h"
#include "toolkit/Strings.h"

namespace zv {

TComRadioGroup::TComRadioGroup(QWidget* Parent)
    : TRadioGroup(Parent), TComponent(nullptr), FSelect(std::make_unique<TComSelect>()) {
    FSelect->SetItems(&Items());
}

TComRadioGroup::~TComRadioGroup() {
    BeforeDestruction();
}

void TComRadioGroup::UpdateSettings() {
    int index = ItemIndex();
    FSelect->UpdateSettings(index);
    SetItemIndex(index);
    FOldIndex = index;
}

void TComRadioGroup::ApplySettings() {
    FSelect->ApplySettings();
}

TCustomComPort* TComRadioGroup::ComPort() const noexcept {
    return FSelect->ComPort();
}

void TComRadioGroup::SetComPort(TCustomComPort* Value) {
    TCustomComPort* old = FSelect->ComPort();
    if (Value == old)
        return;
    if (old)
        old->RemoveFreeNotification(this);
    FSelect->SetComPort(Value);
    if (Value) {
        Value->FreeNotification(this);
        UpdateSettings();
    }
}

TComProperty TComRadioGroup::ComProperty() const noexcept {
    return FSelect->ComProperty();
}

void TComRadioGroup::SetComProperty(TComProperty Value) {
    FSelect->SetComProperty(Value);
    if (Items().Count() == 0)
        return;
    if (FSelect->ComPort())
        UpdateSettings();
    else
        SetItemIndex(0);
}

bool TComRadioGroup::AutoApply() const noexcept {
    return FSelect->AutoApply();
}
void TComRadioGroup::SetAutoApply(bool Value) noexcept {
    FSelect->SetAutoApply(Value);
}

void TComRadioGroup::Click() {
    const int index = ItemIndex();
    if (index != FOldIndex) {
        // With AutoApply an apply that raises leaves the last reported index as it was, so
        // choosing the same button again tries again.
        if (index != -1)
            FSelect->Change(Items().Get(index));
        FOldIndex = ItemIndex();
    }
    if (OnClick)
        OnClick(this); // the group itself is the sender, as for the other selectors
}

void TComRadioGroup::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent != nullptr &&
        AComponent == static_cast<TComponent*>(FSelect->ComPort())) {
        FSelect->SetComPort(nullptr);
        if (Items().Count() > 0) {
            SetItemIndex(0);
            FOldIndex = 0;
        }
    }
}

} // namespace zv
