#include "cport/ComTypes.h"

#include "toolkit/Text.h"

#include <array>

namespace zv {

namespace {

// The entry of `table` for `value`, or the entry of `fallback` when value is not an ordinal of
// the table's enumeration.
template <typename T, std::size_t N, typename E>
constexpr T At(const std::array<T, N>& table, E value, E fallback) {
    static_assert(N == EnumCount<E>, "one table entry per enumeration value");
    const auto ordinal = static_cast<std::size_t>(value);
    return ordinal < N ? table[ordinal] : table[static_cast<std::size_t>(fallback)];
}

// ---- Win32 value tables, in ordinal order
// --------------------------------------------------------

// brCustom's entry is never used: the port's CustomBaudRate stands in for it.
constexpr std::array<DWORD, 16> BaudRates = {0,     110,    300,    600,   1200,  2400,
                                             4800,  9600,   14400,  19200, 38400, 56000,
                                             57600, 115200, 128000, 256000};
constexpr std::array<BYTE, 3> StopBitsValues = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
constexpr std::array<BYTE, 4> ByteSizes = {5, 6, 7, 8};
constexpr std::array<BYTE, 5> ParityValues = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY,
                                              SPACEPARITY};
constexpr std::array<DWORD, 3> DtrControls = {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE,
                                              DTR_CONTROL_HANDSHAKE};
constexpr std::array<DWORD, 4> RtsControls = {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE,
                                              RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE};

// The mask bit of each event; the Win32 bits do not follow the ordinal order.
constexpr std::array<DWORD, 10> EventMasks = {
    EV_RXCHAR,   // evRxChar
    EV_TXEMPTY,  // evTxEmpty
    EV_RXFLAG,   // evRxFlag
    EV_RING,     // evRing
    EV_BREAK,    // evBreak
    EV_CTS,      // evCTS
    EV_DSR,      // evDSR
    EV_ERR,      // evError
    EV_RLSD,     // evRLSD
    EV_RX80FULL, // evRx80Full
};
constexpr std::array<DWORD, 4> SignalMasks = {MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON};
constexpr std::array<DWORD, 8> ErrorMasks = {
    CE_FRAME,    // ceFrame
    CE_RXPARITY, // ceRxParity
    CE_OVERRUN,  // ceOverrun
    CE_BREAK,    // ceBreak
    CE_IOE,      // ceIO
    CE_MODE,     // ceMode
    CE_RXOVER,   // ceRxOver
    CE_TXFULL,   // ceTxFull
};

// The Win32 bits of the members of a set.
template <typename Set, std::size_t N> DWORD SetToMask(Set set, const std::array<DWORD, N>& masks) {
    DWORD mask = 0;
    for (auto member : set)
        mask |= masks[static_cast<std::size_t>(member)];
    return mask;
}

// The members whose Win32 bit is present in mask.
template <typename Set, std::size_t N>
Set MaskToSet(DWORD mask, const std::array<DWORD, N>& masks) {
    Set set;
    for (std::size_t i = 0; i < N; ++i)
        if ((mask & masks[i]) != 0)
            set.insert(static_cast<typename Set::value_type>(i));
    return set;
}

// ---- Text tables, in ordinal order
// ---------------------------------------------------------------

constexpr std::array<std::string_view, 16> BaudRateTexts = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<std::string_view, 3> StopBitsTexts = {"1", "1.5", "2"};
constexpr std::array<std::string_view, 4> DataBitsTexts = {"5", "6", "7", "8"};
constexpr std::array<std::string_view, 5> ParityTexts = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<std::string_view, 4> FlowControlTexts = {"Hardware", "Software", "None",
                                                              "Custom"};

template <typename E, std::size_t N>
std::string ToText(const std::array<std::string_view, N>& texts, E value) {
    static_assert(N == EnumCount<E>, "one text per enumeration value");
    const auto ordinal = static_cast<std::size_t>(value);
    return ordinal < N ? std::string(texts[ordinal]) : std::string();
}

// The first value, in ordinal order, whose text matches; otherwise the default.
template <typename E, std::size_t N>
E FromText(const std::array<std::string_view, N>& texts, std::string_view text, E fallback) {
    static_assert(N == EnumCount<E>, "one text per enumeration value");
    for (std::size_t i = 0; i < N; ++i)
        if (SameText(texts[i], text))
            return static_cast<E>(i);
    return fallback;
}

} // namespace

DWORD BaudRateToWin32(TBaudRate rate, std::int32_t customBaudRate) {
    if (rate == brCustom)
        return static_cast<DWORD>(customBaudRate);
    return At(BaudRates, rate, br9600);
}
BYTE StopBitsToWin32(TStopBits bits) {
    return At(StopBitsValues, bits, sbOneStopBit);
}
BYTE DataBitsToWin32(TDataBits bits) {
    return At(ByteSizes, bits, dbEight);
}
BYTE ParityToWin32(TParityBits bits) {
    return At(ParityValues, bits, prNone);
}
DWORD DTRControlToWin32(TDTRFlowControl control) {
    return At(DtrControls, control, dtrDisable);
}
DWORD RTSControlToWin32(TRTSFlowControl control) {
    return At(RtsControls, control, rtsDisable);
}

DWORD ComEventsToMask(TComEvents events) {
    return SetToMask(events, EventMasks);
}
TComEvents MaskToComEvents(DWORD mask) {
    return MaskToSet<TComEvents>(mask, EventMasks);
}

TComSignals ModemStatusToComSignals(DWORD modemStatus) {
    return MaskToSet<TComSignals>(modemStatus, SignalMasks);
}
DWORD ComSignalsToModemStatus(TComSignals signals) {
    return SetToMask(signals, SignalMasks);
}

TComErrors ErrorFlagsToComErrors(DWORD errorFlags, bool parityCheck) {
    TComErrors errors = MaskToSet<TComErrors>(errorFlags, ErrorMasks);
    if (!parityCheck)
        errors.erase(ceRxParity);
    return errors;
}
DWORD ComErrorsToErrorFlags(TComErrors errors) {
    return SetToMask(errors, ErrorMasks);
}

std::string BaudRateToStr(TBaudRate value) {
    return ToText(BaudRateTexts, value);
}
std::string StopBitsToStr(TStopBits value) {
    return ToText(StopBitsTexts, value);
}
std::string DataBitsToStr(TDataBits value) {
    return ToText(DataBitsTexts, value);
}
std::string ParityToStr(TParityBits value) {
    return ToText(ParityTexts, value);
}
std::string FlowControlToStr(TFlowControl value) {
    return ToText(FlowControlTexts, value);
}

TBaudRate StrToBaudRate(std::string_view text) {
    return FromText(BaudRateTexts, text, br9600);
}
TStopBits StrToStopBits(std::string_view text) {
    return FromText(StopBitsTexts, text, sbOneStopBit);
}
TDataBits StrToDataBits(std::string_view text) {
    return FromText(DataBitsTexts, text, dbEight);
}
TParityBits StrToParity(std::string_view text) {
    return FromText(ParityTexts, text, prNone);
}
TFlowControl StrToFlowControl(std::string_view text) {
    return FromText(FlowControlTexts, text, fcCustom);
}

} // namespace zv
