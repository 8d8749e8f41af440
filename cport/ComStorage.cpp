// Settings storage of the port: the encodings, the registry key, and StoreSettings/LoadSettings
// with their per-medium operations. Every stored value is one row of StoredValues, in the order
// in which values are written and read.
#include "cport/ComStorage.h"

#include "cport/ComPort.h"
#include "toolkit/IniFiles.h"
#include "toolkit/Registry.h"

#include <array>
#include <cstdint>

namespace zv {
namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

constexpr std::array<const char*, 3> kDtrTexts = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRtsTexts = {"Disable", "Enable", "Handshake", "Toggle"};

template <std::size_t N>
std::size_t MatchUpper(const std::array<const char*, N>& texts, std::string_view text) {
    const std::string upper = Upper(text);
    for (std::size_t i = 0; i < N; ++i)
        if (upper == Upper(texts[i]))
            return i;
    return 0;
}

// ---- The stored values -----------------------------------------------------------------------

// How one value is kept: as text, or as an integer (decimal text in a file, REG_DWORD in the
// registry).
enum class ValueKind { Text, Integer };

struct StoredValue {
    TStoredProp group;
    const char* name;
    ValueKind kind;
    std::string (*text)(const TCustomComPort&);
    void (*setText)(TCustomComPort&, const std::string&);
    std::int32_t (*integer)(const TCustomComPort&);
    void (*setInteger)(TCustomComPort&, std::int32_t);
};

using P = TCustomComPort;
using S = const std::string&;

#define ZV_TEXT(group, name, get, set)                                                             \
    StoredValue {                                                                                  \
        group, name, ValueKind::Text, [](const P& p) -> std::string { return get; },               \
            [](P& p, S t) { set; }, nullptr, nullptr                                               \
    }
#define ZV_INT(group, name, get, set)                                                              \
    StoredValue {                                                                                  \
        group, name, ValueKind::Integer, nullptr, nullptr,                                         \
            [](const P& p) -> std::int32_t { return get; }, [](P& p, std::int32_t v) { set; }      \
    }

// "CustomBaudRate" is the one value with a condition: it takes part only while BaudRate is
// brCustom. The summary "FlowControl" goes to SetFlowControl, which applies even when unchanged.
const StoredValue kStoredValues[] = {
    ZV_TEXT(spBasic, "Port", p.Port(), p.SetPort(t)),
    ZV_TEXT(spBasic, "BaudRate", BaudRateToStr(p.BaudRate()), p.SetBaudRate(StrToBaudRate(t))),
    ZV_INT(spBasic, "CustomBaudRate", p.CustomBaudRate(), p.SetCustomBaudRate(v)),
    ZV_TEXT(spBasic, "StopBits", StopBitsToStr(p.StopBits()), p.SetStopBits(StrToStopBits(t))),
    ZV_TEXT(spBasic, "DataBits", DataBitsToStr(p.DataBits()), p.SetDataBits(StrToDataBits(t))),
    ZV_TEXT(spBasic, "Parity", ParityToStr(p.Parity()->Bits()),
            p.Parity()->SetBits(StrToParity(t))),
    ZV_TEXT(spBasic, "FlowControl", FlowControlToStr(p.FlowControl()->GetFlowControl()),
            p.FlowControl()->SetFlowControl(StrToFlowControl(t))),
    ZV_TEXT(spOthers, "EventChar", CharToSettingStr(p.EventChar()),
            p.SetEventChar(SettingStrToChar(t))),
    ZV_TEXT(spOthers, "DiscardNull", BoolToYesNo(p.DiscardNull()),
            p.SetDiscardNull(YesNoToBool(t))),
    ZV_TEXT(spParity, "Parity.Check", BoolToYesNo(p.Parity()->Check()),
            p.Parity()->SetCheck(YesNoToBool(t))),
    ZV_TEXT(spParity, "Parity.Replace", BoolToYesNo(p.Parity()->Replace()),
            p.Parity()->SetReplace(YesNoToBool(t))),
    ZV_TEXT(spParity, "Parity.ReplaceChar", CharToSettingStr(p.Parity()->ReplaceChar()),
            p.Parity()->SetReplaceChar(SettingStrToChar(t))),
    ZV_INT(spBuffer, "Buffer.OutputSize", p.Buffer()->OutputSize(), p.Buffer()->SetOutputSize(v)),
    ZV_INT(spBuffer, "Buffer.InputSize", p.Buffer()->InputSize(), p.Buffer()->SetInputSize(v)),
    ZV_INT(spTimeouts, "Timeouts.ReadInterval", p.Timeouts()->ReadInterval(),
           p.Timeouts()->SetReadInterval(v)),
    ZV_INT(spTimeouts, "Timeouts.ReadTotalConstant", p.Timeouts()->ReadTotalConstant(),
           p.Timeouts()->SetReadTotalConstant(v)),
    ZV_INT(spTimeouts, "Timeouts.ReadTotalMultiplier", p.Timeouts()->ReadTotalMultiplier(),
           p.Timeouts()->SetReadTotalMultiplier(v)),
    ZV_INT(spTimeouts, "Timeouts.WriteTotalConstant", p.Timeouts()->WriteTotalConstant(),
           p.Timeouts()->SetWriteTotalConstant(v)),
    ZV_INT(spTimeouts, "Timeouts.WriteTotalMultiplier", p.Timeouts()->WriteTotalMultiplier(),
           p.Timeouts()->SetWriteTotalMultiplier(v)),
    ZV_TEXT(spFlowControl, "FlowControl.ControlRTS", RTSControlToStr(p.FlowControl()->ControlRTS()),
            p.FlowControl()->SetControlRTS(StrToRTSControl(t))),
    ZV_TEXT(spFlowControl, "FlowControl.ControlDTR", DTRControlToStr(p.FlowControl()->ControlDTR()),
            p.FlowControl()->SetControlDTR(StrToDTRControl(t))),
    ZV_TEXT(spFlowControl, "FlowControl.DSRSensitivity",
            BoolToYesNo(p.FlowControl()->DSRSensitivity()),
            p.FlowControl()->SetDSRSensitivity(YesNoToBool(t))),
    ZV_TEXT(spFlowControl, "FlowControl.OutCTSFlow", BoolToYesNo(p.FlowControl()->OutCTSFlow()),
            p.FlowControl()->SetOutCTSFlow(YesNoToBool(t))),
    ZV_TEXT(spFlowControl, "FlowControl.OutDSRFlow", BoolToYesNo(p.FlowControl()->OutDSRFlow()),
            p.FlowControl()->SetOutDSRFlow(YesNoToBool(t))),
    ZV_TEXT(spFlowControl, "FlowControl.TxContinueOnXoff",
            BoolToYesNo(p.FlowControl()->TxContinueOnXoff()),
            p.FlowControl()->SetTxContinueOnXoff(YesNoToBool(t))),
    ZV_TEXT(spFlowControl, "FlowControl.XonXoffIn", BoolToYesNo(p.FlowControl()->XonXoffIn()),
            p.FlowControl()->SetXonXoffIn(YesNoToBool(t))),
    ZV_TEXT(spFlowControl, "FlowControl.XonXoffOut", BoolToYesNo(p.FlowControl()->XonXoffOut()),
            p.FlowControl()->SetXonXoffOut(YesNoToBool(t))),
    ZV_TEXT(spFlowControl, "FlowControl.XoffChar", CharToSettingStr(p.FlowControl()->XoffChar()),
            p.FlowControl()->SetXoffChar(SettingStrToChar(t))),
    ZV_TEXT(spFlowControl, "FlowControl.XonChar", CharToSettingStr(p.FlowControl()->XonChar()),
            p.FlowControl()->SetXonChar(SettingStrToChar(t))),
};

#undef ZV_TEXT
#undef ZV_INT

// The groups in the order their values are written and read.
constexpr TStoredProp kGroupOrder[] = {spBasic,  spOthers,   spParity,
                                       spBuffer, spTimeouts, spFlowControl};

constexpr char kCustomBaudRate[] = "CustomBaudRate";
constexpr std::int32_t kDefaultCustomBaudRate = 9600;

bool IsCustomBaudRate(const StoredValue& v) {
    return std::string_view(v.name) == kCustomBaudRate;
}

// One storage medium as the algorithms see it. A file reads with defaults; the registry has
// none (absent text is empty, an absent integer raises).
class Medium {
public:
    virtual ~Medium() = default;
    virtual std::string ReadText(const char* name, const std::string& def) = 0;
    virtual std::int32_t ReadInteger(const char* name, std::int32_t def) = 0;
    virtual void WriteText(const char* name, const std::string& value) = 0;
    virtual void WriteInteger(const char* name, std::int32_t value) = 0;
};

class IniMedium final : public Medium {
public:
    IniMedium(TIniFile& file, std::string section) : file_(file), section_(std::move(section)) {}
    std::string ReadText(const char* name, const std::string& def) override {
        // The profile read trims the blanks around a default as around a value: an absent
        // value must give the current text back as it is ("ttyV0 " stays "ttyV0 ").
        if (!file_.ValueExists(section_, name))
            return def;
        return file_.ReadString(section_, name, def);
    }
    std::int32_t ReadInteger(const char* name, std::int32_t def) override {
        return file_.ReadInteger(section_, name, def);
    }
    void WriteText(const char* name, const std::string& value) override {
        file_.WriteString(section_, name, value);
    }
    void WriteInteger(const char* name, std::int32_t value) override {
        file_.WriteInteger(section_, name, value);
    }

private:
    TIniFile& file_;
    std::string section_;
};

class RegistryMedium final : public Medium {
public:
    explicit RegistryMedium(TRegistry& registry) : registry_(registry) {}
    std::string ReadText(const char* name, const std::string&) override {
        return registry_.ReadString(name);
    }
    std::int32_t ReadInteger(const char* name, std::int32_t) override {
        return registry_.ReadInteger(name);
    }
    void WriteText(const char* name, const std::string& value) override {
        registry_.WriteString(name, value);
    }
    void WriteInteger(const char* name, std::int32_t value) override {
        registry_.WriteInteger(name, value);
    }

private:
    TRegistry& registry_;
};

void StoreTo(const TCustomComPort& port, Medium& medium) {
    const TStoredProps props = port.StoredProps();
    for (TStoredProp group : kGroupOrder) {
        if (!props.contains(group))
            continue;
        for (const StoredValue& v : kStoredValues) {
            if (v.group != group || (IsCustomBaudRate(v) && port.BaudRate() != brCustom))
                continue;
            if (v.kind == ValueKind::Text)
                medium.WriteText(v.name, v.text(port));
            else
                medium.WriteInteger(v.name, v.integer(port));
        }
    }
}

// Each value read goes to its setter at once, so settings change in table order. The default of
// each is the encoding of the current value, so an absent value changes nothing.
void LoadFrom(TCustomComPort& port, Medium& medium) {
    const TStoredProps props = port.StoredProps();
    for (TStoredProp group : kGroupOrder) {
        if (!props.contains(group))
            continue;
        for (const StoredValue& v : kStoredValues) {
            if (v.group != group)
                continue;
            if (IsCustomBaudRate(v)) {
                if (port.BaudRate() == brCustom)
                    v.setInteger(port, medium.ReadInteger(v.name, kDefaultCustomBaudRate));
            } else if (v.kind == ValueKind::Text) {
                v.setText(port, medium.ReadText(v.name, v.text(port)));
            } else {
                v.setInteger(port, medium.ReadInteger(v.name, v.integer(port)));
            }
        }
    }
}

} // namespace

// ---- Encodings -------------------------------------------------------------------------------

std::string BoolToYesNo(bool value) {
    return value ? "Yes" : "No";
}

bool YesNoToBool(std::string_view text) {
    return Upper(text) == "YES";
}

std::string CharToSettingStr(char value) {
    const auto code = static_cast<unsigned char>(value);
    if (code >= 33 && code <= 127)
        return std::string(1, value);
    return "#" + std::to_string(code);
}

char SettingStrToChar(std::string_view text) {
    if (text.empty())
        return 0;
    if (text.front() != '#' || text.size() == 1)
        return text.front();
    std::int32_t code = 0;
    if (!TryStrToInt(text.substr(1), code))
        return 0;
    return static_cast<char>(static_cast<unsigned char>(code & 0xFF));
}

std::string DTRControlToStr(TDTRFlowControl value) {
    return value < kDtrTexts.size() ? kDtrTexts[value] : "";
}

TDTRFlowControl StrToDTRControl(std::string_view text) {
    return static_cast<TDTRFlowControl>(MatchUpper(kDtrTexts, text));
}

std::string RTSControlToStr(TRTSFlowControl value) {
    return value < kRtsTexts.size() ? kRtsTexts[value] : "";
}

TRTSFlowControl StrToRTSControl(std::string_view text) {
    return static_cast<TRTSFlowControl>(MatchUpper(kRtsTexts, text));
}

bool OpenSettingsKey(TRegistry* Registry, const std::string& KeyText, const std::string& Name,
                     bool CanCreate) {
    const std::size_t slash = KeyText.find('\\');
    if (slash == std::string::npos)
        return false;
    const std::string root = Upper(std::string_view(KeyText).substr(0, slash));
    if (root == "HKEY_LOCAL_MACHINE")
        Registry->SetRootKey(HKEY_LOCAL_MACHINE);
    else if (root == "HKEY_CURRENT_USER")
        Registry->SetRootKey(HKEY_CURRENT_USER);
    std::string path = KeyText.substr(slash + 1);
    if (path.empty())
        throw ERegistryException("No key path in '" + KeyText + "'");
    if (path.back() != '\\')
        path += '\\';
    path += Name;
    // A failure leaves no key open; a store then fails at its first value.
    return CanCreate ? Registry->OpenKey(path, true) : Registry->OpenKeyReadOnly(path);
}

// ---- The port's operations --------------------------------------------------------------------

void TCustomComPort::StoreSettings(TStoreType StoreType, const std::string& StoreTo) {
    try {
        if (StoreType == stIniFile) {
            TIniFile file(StoreTo);
            StoreIniFile(&file);
        } else {
            TRegistry registry;
            OpenSettingsKey(&registry, StoreTo, Name());
            StoreRegistry(&registry);
        }
    } catch (...) {
        throw EComPort(CError_StoreFailed);
    }
}

void TCustomComPort::LoadSettings(TStoreType StoreType, const std::string& LoadFrom) {
    bool failed = false;
    BeginUpdate();
    try {
        if (StoreType == stIniFile) {
            TIniFile file(LoadFrom);
            LoadIniFile(&file);
        } else {
            // A key that is not there (a mistyped path) is a failure, not a load of nothing:
            // every text would read as empty and blank the port's settings.
            TRegistry registry;
            if (!OpenSettingsKey(&registry, LoadFrom, Name(), false))
                throw ERegistryException("No settings key '" + LoadFrom + "'");
            LoadRegistry(&registry);
        }
    } catch (...) {
        failed = true;
    }
    try {
        EndUpdate();
    } catch (...) {
        failed = true;
    }
    if (failed)
        throw EComPort(CError_LoadFailed);
}

void TCustomComPort::StoreRegistry(TRegistry* Reg) {
    RegistryMedium medium(*Reg);
    StoreTo(*this, medium);
}

void TCustomComPort::StoreIniFile(TIniFile* IniFile) {
    IniMedium medium(*IniFile, Name());
    StoreTo(*this, medium);
}

void TCustomComPort::LoadRegistry(TRegistry* Reg) {
    RegistryMedium medium(*Reg);
    LoadFrom(*this, medium);
}

void TCustomComPort::LoadIniFile(TIniFile* IniFile) {
    IniMedium medium(*IniFile, Name());
    LoadFrom(*this, medium);
}

} // namespace zv
