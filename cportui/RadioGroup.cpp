#include "cportui/RadioGroup.h"

#include "toolkit/Exception.h"
#include "toolkit/Strings.h"
#include "toolkit/qt/QtApplication.h"
#include "toolkit/qt/QtText.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QRadioButton>

#include <vector>

namespace zv {

// The group's items, kept here; every change rebuilds the buttons.
class TRadioGroupStrings : public TStrings {
public:
    explicit TRadioGroupStrings(TRadioGroup& Group) : FGroup(Group) {}

    int Count() const override { return static_cast<int>(FLines.size()); }
    std::string Get(int Index) const override {
        CheckIndex(Index, Count() - 1);
        return FLines[static_cast<std::size_t>(Index)];
    }
    void Put(int Index, const std::string& S) override {
        CheckIndex(Index, Count() - 1);
        FLines[static_cast<std::size_t>(Index)] = S;
        Changed();
    }
    void Insert(int Index, const std::string& S) override {
        CheckIndex(Index, Count());
        FLines.insert(FLines.begin() + Index, S);
        Changed();
    }
    void Delete(int Index) override {
        CheckIndex(Index, Count() - 1);
        FLines.erase(FLines.begin() + Index);
        Changed();
    }
    void Clear() override {
        FLines.clear();
        Changed();
    }

protected:
    void SetUpdateState(bool Updating) override {
        if (!Updating)
            FGroup.RebuildButtons();
    }

private:
    static void CheckIndex(int Index, int Last) {
        if (Index < 0 || Index > Last)
            throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
    }
    void Changed() {
        if (UpdateCount() == 0)
            FGroup.RebuildButtons();
    }

    TRadioGroup& FGroup;
    std::vector<std::string> FLines;
};

TRadioGroup::TRadioGroup(QWidget* Parent)
    : QGroupBox(Parent), FItems(std::make_unique<TRadioGroupStrings>(*this)),
      FButtons(new QButtonGroup(this)), FLayout(new QGridLayout(this)) {
    connect(FButtons, &QButtonGroup::idClicked, this, [this](int id) {
        FItemIndex = id;
        CallHandler([this] { Click(); });
    });
}

TRadioGroup::~TRadioGroup() = default;

TStrings& TRadioGroup::Items() noexcept {
    return *FItems;
}
const TStrings& TRadioGroup::Items() const noexcept {
    return *FItems;
}

QRadioButton* TRadioGroup::Button(int Index) const {
    return qobject_cast<QRadioButton*>(FButtons->button(Index));
}

void TRadioGroup::SetItemIndex(int Value) {
    if (Value < -1 || Value >= FItems->Count())
        Value = -1;
    FItemIndex = Value;
    CheckButton(Value);
}

void TRadioGroup::SetColumns(int Value) {
    FColumns = Value < 1 ? 1 : Value;
    RebuildButtons();
}

void TRadioGroup::CheckButton(int Index) {
    // An exclusive group cannot uncheck its last checked button; lift exclusivity for that.
    FButtons->setExclusive(false);
    for (QAbstractButton* button : FButtons->buttons())
        button->setChecked(FButtons->id(button) == Index);
    FButtons->setExclusive(true);
}

void TRadioGroup::RebuildButtons() {
    for (QAbstractButton* button : FButtons->buttons()) {
        FButtons->removeButton(button);
        delete button;
    }
    const int count = FItems->Count();
    const int rows = (count + FColumns - 1) / FColumns;
    for (int i = 0; i < count; ++i) {
        auto* button = new QRadioButton(ToQString(FItems->Get(i)), this);
        FButtons->addButton(button, i);
        FLayout->addWidget(button, rows > 0 ? i % rows : 0, rows > 0 ? i / rows : 0);
    }
    if (FItemIndex >= count)
        FItemIndex = -1;
    CheckButton(FItemIndex);
}

void TRadioGroup::Click() {
    if (OnClick)
        OnClick(nullptr);
}

} // namespace zv
