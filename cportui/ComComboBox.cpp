#include "cportui/ComComboBox.h"

#include "cport/ComPort.h"
#include "toolkit/Exception.h"
#include "toolkit/Strings.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtText.h"

namespace zv {

// The combo box's own items as a TStrings, so that TComSelect fills and searches the list the
// user sees.
class TComboBoxStrings : public TStrings {
public:
    explicit TComboBoxStrings(QComboBox& Combo) : FCombo(Combo) {}

    int Count() const override { return FCombo.count(); }
    std::string Get(int Index) const override {
        CheckIndex(Index, Count() - 1);
        return FromQString(FCombo.itemText(Index));
    }
    void Put(int Index, const std::string& S) override {
        CheckIndex(Index, Count() - 1);
        FCombo.setItemText(Index, ToQString(S));
    }
    void Insert(int Index, const std::string& S) override {
        CheckIndex(Index, Count());
        FCombo.insertItem(Index, ToQString(S));
    }
    void Delete(int Index) override {
        CheckIndex(Index, Count() - 1);
        FCombo.removeItem(Index);
    }
    void Clear() override { FCombo.clear(); }

private:
    static void CheckIndex(int Index, int Last) {
        if (Index < 0 || Index > Last)
            throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
    }

    QComboBox& FCombo;
};

TComComboBox::TComComboBox(QWidget* Parent)
    : QComboBox(Parent), TComponent(nullptr), FSelect(std::make_unique<TComSelect>()),
      FItems(std::make_unique<TComboBoxStrings>(*this)) {
    FSelect->SetItems(FItems.get());
    // A drop-down list: no free typing (QComboBox is not editable unless asked).
    setEditable(false);
    // activated: the user picked an item (programmatic selection does not raise it).
    // An apply that raises (AutoApply) is shown and ends there.
    connect(this, &QComboBox::activated, this, [this](int) { CallHandler([this] { Change(); }); });
}

TComComboBox::~TComComboBox() {
    // Removal notifications go out while the whole control still exists.
    BeforeDestruction();
}

TStrings& TComComboBox::Items() noexcept {
    return *FItems;
}

void TComComboBox::UpdateSettings() {
    int index = currentIndex();
    FSelect->UpdateSettings(index);
    setCurrentIndex(index);
}

void TComComboBox::ApplySettings() {
    FSelect->ApplySettings();
}

TCustomComPort* TComComboBox::ComPort() const noexcept {
    return FSelect->ComPort();
}

void TComComboBox::SetComPort(TCustomComPort* Value) {
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

TComProperty TComComboBox::ComProperty() const noexcept {
    return FSelect->ComProperty();
}

void TComComboBox::SetComProperty(TComProperty Value) {
    FSelect->SetComProperty(Value);
    if (count() == 0)
        return;
    if (FSelect->ComPort())
        UpdateSettings();
    else
        setCurrentIndex(0);
}

bool TComComboBox::AutoApply() const noexcept {
    return FSelect->AutoApply();
}
void TComComboBox::SetAutoApply(bool Value) noexcept {
    FSelect->SetAutoApply(Value);
}

std::string TComComboBox::Text() const {
    if (currentIndex() == -1)
        return {};
    return FromQString(itemText(currentIndex()));
}

void TComComboBox::SetText(const std::string& Value) {
    const int index = FItems->IndexOf(Value);
    if (index != -1) {
        setCurrentIndex(index);
        FLoadedText.clear();
    } else if (Loading()) {
        FLoadedText = Value;
    }
}

void TComComboBox::Loaded() {
    TComponent::Loaded();
    if (!FLoadedText.empty()) {
        const std::string text = std::move(FLoadedText);
        FLoadedText.clear();
        SetText(text);
    }
}

void TComComboBox::Change() {
    FSelect->Change(Text());
    if (OnChange)
        OnChange(this);
}

void TComComboBox::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent != nullptr &&
        AComponent == static_cast<TComponent*>(FSelect->ComPort())) {
        FSelect->SetComPort(nullptr);
        if (count() > 0)
            setCurrentIndex(0);
    }
}

} // namespace zv
