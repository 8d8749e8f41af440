// TForm2: the About window — credits and the usage notice in a text box.
#pragma once

#include <QDialog>

class QPlainTextEdit;

namespace zv {

class TForm2 : public QDialog {
    Q_OBJECT

public:
    explicit TForm2(QWidget* Parent = nullptr);

    // Fills the window; not read-only, but nothing typed into it is kept anywhere.
    QPlainTextEdit* Memo1;
};

// The About text, in Czech.
QString AboutText();

} // namespace zv
