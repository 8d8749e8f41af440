#include "app/term/TermSettings.h"

#include "app/core/HostSystem.h"
#include "cport/ComPort.h"
#include "terminal/qt/ComTerminal.h"
#include "toolkit/IniFiles.h"
#include "toolkit/qt/QtText.h"

#include <QFont>

#include <array>
#include <string_view>

namespace zv {

namespace {

// Enumerations stored by name, in ordinal order; an unknown name leaves the option as it is.
constexpr std::array<std::string_view, 3> EmulationNames = {"VT100", "VT52", "None"};
constexpr std::array<std::string_view, 3> CaretNames = {"Block", "Underline", "None"};
constexpr std::array<std::string_view, 2> ArrowKeyNames = {"Terminal", "Windows"};

template <std::size_t N>
int IndexOf(const std::array<std::string_view, N>& Names, const std::string& Name) {
    for (std::size_t i = 0; i < N; ++i)
        if (Names[i] == Name)
            return static_cast<int>(i);
    return -1;
}

std::string TerminalSection(const TCustomComTerminal& Terminal) {
    return Terminal.Name().empty() ? std::string("ComTerminal") : Terminal.Name();
}

void LoadTerminal(TIniFile& Ini, TCustomComTerminal& Terminal) {
    const std::string s = TerminalSection(Terminal);
    if (!Ini.SectionExists(s))
        return;
    Terminal.LocalEcho = Ini.ReadBool(s, "LocalEcho", Terminal.LocalEcho);
    Terminal.SendLF = Ini.ReadBool(s, "SendLF", Terminal.SendLF);
    Terminal.AppendLF = Ini.ReadBool(s, "AppendLF", Terminal.AppendLF);
    Terminal.Force7Bit = Ini.ReadBool(s, "Force7Bit", Terminal.Force7Bit);
    Terminal.WrapLines = Ini.ReadBool(s, "WrapLines", Terminal.WrapLines);
    if (const int e = IndexOf(EmulationNames, Ini.ReadString(s, "Emulation", "")); e >= 0)
        Terminal.SetEmulation(static_cast<TTermEmulation>(e));
    if (const int c = IndexOf(CaretNames, Ini.ReadString(s, "Caret", "")); c >= 0)
        Terminal.SetCaret(static_cast<TTermCaret>(c));
    if (const int a = IndexOf(ArrowKeyNames, Ini.ReadString(s, "ArrowKeys", "")); a >= 0)
        Terminal.SetArrowKeys(static_cast<TArrowKeys>(a));
    // The setters keep the sizes within their limits.
    Terminal.SetColumns(Ini.ReadInteger(s, "Columns", Terminal.Columns()));
    Terminal.SetRows(Ini.ReadInteger(s, "Rows", Terminal.Rows()));
    const std::string family = Ini.ReadString(s, "Font.Name", "");
    const int points = Ini.ReadInteger(s, "Font.Size", 0);
    if (!family.empty() && points > 0) {
        QFont font = Terminal.TermFont();
        font.setFamily(ToQString(family));
        font.setPointSize(points);
        Terminal.SetTermFont(font);
    }
}

void StoreTerminal(TIniFile& Ini, TCustomComTerminal& Terminal) {
    const std::string s = TerminalSection(Terminal);
    Ini.WriteBool(s, "LocalEcho", Terminal.LocalEcho);
    Ini.WriteBool(s, "SendLF", Terminal.SendLF);
    Ini.WriteBool(s, "AppendLF", Terminal.AppendLF);
    Ini.WriteBool(s, "Force7Bit", Terminal.Force7Bit);
    Ini.WriteBool(s, "WrapLines", Terminal.WrapLines);
    Ini.WriteString(s, "Emulation", std::string(EmulationNames.at(Terminal.Emulation())));
    Ini.WriteString(s, "Caret", std::string(CaretNames.at(Terminal.Caret())));
    Ini.WriteString(s, "ArrowKeys", std::string(ArrowKeyNames.at(Terminal.ArrowKeys())));
    Ini.WriteInteger(s, "Columns", Terminal.Columns());
    Ini.WriteInteger(s, "Rows", Terminal.Rows());
    const QFont font = Terminal.TermFont();
    Ini.WriteString(s, "Font.Name", FromQString(font.family()));
    Ini.WriteInteger(s, "Font.Size", font.pointSize());
}

} // namespace

void LoadTermSettings(TCustomComPort& Port, TCustomComTerminal& Terminal, const std::string& File) {
    const std::string profile = ProfileFileName(File, false);
    TIniFile ini(profile);
    // A first start finds nothing: the port keeps its settings.
    if (ini.SectionExists(Port.Name()))
        Port.LoadSettings(stIniFile, profile);
    LoadTerminal(ini, Terminal);
}

void StoreTermSettings(TCustomComPort& Port, TCustomComTerminal& Terminal,
                       const std::string& File) {
    const std::string profile = ProfileFileName(File, true);
    Port.StoreSettings(stIniFile, profile);
    TIniFile ini(profile);
    StoreTerminal(ini, Terminal);
}

} // namespace zv
