// TRadioGroup: a captioned frame of radio buttons, one per item, at most one chosen. Qt has no
// such widget; this is the small one the selectors need, over QGroupBox and QButtonGroup.
#pragma once

#include "toolkit/Object.h"

#include <QGroupBox>

#include <memory>
#include <string>

class QButtonGroup;
class QGridLayout;
class QRadioButton;

namespace zv {

class TStrings;
class TRadioGroupStrings;

class TRadioGroup : public QGroupBox {
    Q_OBJECT

public:
    explicit TRadioGroup(QWidget* Parent = nullptr);
    ~TRadioGroup() override;

    // The items; each change rebuilds the buttons. Text crosses as Latin-1.
    TStrings& Items() noexcept;
    const TStrings& Items() const noexcept;

    // The chosen item, -1 for none. Setting it checks that button (or none for -1 or an index
    // outside the list) without raising Click: only the user's choice raises it.
    int ItemIndex() const noexcept { return FItemIndex; }
    void SetItemIndex(int Value);

    // Buttons are laid out in this many columns, filled top to bottom (at least 1).
    int Columns() const noexcept { return FColumns; }
    void SetColumns(int Value);

    // Raised after the user chose a button (also the one already chosen).
    TNotifyEvent OnClick;

    // The button of item Index, for tests and keyboard focus; nullptr outside the list.
    QRadioButton* Button(int Index) const;

protected:
    // The user chose a button; ItemIndex already names it. Raises OnClick.
    virtual void Click();

private:
    friend class TRadioGroupStrings;
    void RebuildButtons();
    void CheckButton(int Index);

    std::unique_ptr<TRadioGroupStrings> FItems;
    QButtonGroup* FButtons;
    QGridLayout* FLayout;
    int FItemIndex = -1;
    int FColumns = 1;
};

} // namespace zv
