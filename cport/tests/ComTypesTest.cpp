#include "cport/ComTypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv {
namespace {

// ---- Ordinals: stored settings and the selectors depend on them --------------------------------

static_assert(sizeof(TBaudRate) == 1 && sizeof(TStopBits) == 1 && sizeof(TDataBits) == 1);
static_assert(sizeof(TParityBits) == 1 && sizeof(TFlowControl) == 1 && sizeof(TComEvent) == 1);
static_assert(sizeof(TSyncMethod) == 1 && sizeof(TStoreType) == 1 && sizeof(TStoredProp) == 1);
static_assert(br256000 == 15 && sbTwoStopBits == 2 && dbEight == 3 && prSpace == 4);
static_assert(dtrHandshake == 2 && rtsToggle == 3 && fcCustom == 3 && evRx80Full == 9);
static_assert(csRLSD == 3 && ceTxFull == 7 && smNone == 2 && stIniFile == 1 && spOthers == 5);
static_assert(sizeof(TComEvents) == 2 && sizeof(TComSignals) == 1);
static_assert(sizeof(TComErrors) == 1 && sizeof(TStoredProps) == 1);

// ---- Text forms
// ----------------------------------------------------------------------------------

template <typename E>
void ExpectTexts(std::string (*toStr)(E), E (*fromStr)(std::string_view),
                 const std::vector<std::string>& texts) {
    ASSERT_EQ(texts.size(), EnumCount<E>);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const auto value = static_cast<E>(i);
        EXPECT_EQ(toStr(value), texts[i]) << "ordinal " << i;
        EXPECT_EQ(fromStr(texts[i]), value) << texts[i];
        EXPECT_EQ(fromStr(toStr(value)), value) << "round trip of ordinal " << i;
    }
}

TEST(ComTypesText, EveryValueConvertsToItsTextAndBack) {
    ExpectTexts(BaudRateToStr, StrToBaudRate,
                {"Custom", "110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                 "38400", "56000", "57600", "115200", "128000", "256000"});
    ExpectTexts(StopBitsToStr, StrToStopBits, {"1", "1.5", "2"});
    ExpectTexts(DataBitsToStr, StrToDataBits, {"5", "6", "7", "8"});
    ExpectTexts(ParityToStr, StrToParity, {"None", "Odd", "Even", "Mark", "Space"});
    ExpectTexts(FlowControlToStr, StrToFlowControl, {"Hardware", "Software", "None", "Custom"});
}

TEST(ComTypesText, LettersMatchWithoutCase) {
    EXPECT_EQ(StrToBaudRate("custom"), brCustom);
    EXPECT_EQ(StrToBaudRate("cUSTOM"), brCustom);
    EXPECT_EQ(StrToParity("EVEN"), prEven);
    EXPECT_EQ(StrToParity("space"), prSpace);
    EXPECT_EQ(StrToFlowControl("hardware"), fcHardware);
    EXPECT_EQ(StrToFlowControl("NONE"), fcNone);
}

TEST(ComTypesText, UnmatchedTextReadsAsTheDefault) {
    struct Row {
        const char* text;
        TBaudRate baud;
        TStopBits stop;
        TDataBits data;
        TParityBits parity;
        TFlowControl flow;
    };
    const Row rows[] = {
        {"", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        {" 9600", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        {"9601", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        {"1.50", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        {"None ", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        {"4", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        {"Odd\n", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        // Only ASCII letters fold: a Latin-1 capital does not match its small letter.
        {"\xC9ven", br9600, sbOneStopBit, dbEight, prNone, fcCustom},
        // A value's text for another type is no match there.
        {"2", br9600, sbTwoStopBits, dbEight, prNone, fcCustom},
        {"7", br9600, sbOneStopBit, dbSeven, prNone, fcCustom},
        {"110", br110, sbOneStopBit, dbEight, prNone, fcCustom},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("text \"") + row.text + "\"");
        EXPECT_EQ(StrToBaudRate(row.text), row.baud);
        EXPECT_EQ(StrToStopBits(row.text), row.stop);
        EXPECT_EQ(StrToDataBits(row.text), row.data);
        EXPECT_EQ(StrToParity(row.text), row.parity);
        EXPECT_EQ(StrToFlowControl(row.text), row.flow);
    }
    // Text with an embedded NUL is compared whole.
    EXPECT_EQ(StrToParity(std::string_view("Odd\0", 4)), prNone);
}

TEST(ComTypesText, OrdinalOutsideTheTypeHasNoText) {
    EXPECT_EQ(BaudRateToStr(static_cast<TBaudRate>(16)), "");
    EXPECT_EQ(StopBitsToStr(static_cast<TStopBits>(200)), "");
    EXPECT_EQ(FlowControlToStr(static_cast<TFlowControl>(4)), "");
}

// ---- Win32 values of the device control block
// ----------------------------------------------------

TEST(ComTypesWin32, BaudRatesAreTheNumbersInTheirNames) {
    const DWORD rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                           19200, 38400, 56000, 57600, 115200, 128000, 256000};
    for (std::size_t i = 0; i < std::size(rates); ++i) {
        const auto rate = static_cast<TBaudRate>(i + 1);
        EXPECT_EQ(BaudRateToWin32(rate, 12345), rates[i]);
        EXPECT_EQ(std::to_string(BaudRateToWin32(rate, 0)), BaudRateToStr(rate));
    }
    EXPECT_EQ(BaudRateToWin32(brCustom, 9600), 9600u);
    EXPECT_EQ(BaudRateToWin32(brCustom, 250000), 250000u);
    EXPECT_EQ(BaudRateToWin32(static_cast<TBaudRate>(99), 1), 9600u);
}

TEST(ComTypesWin32, FramingAndHandshakeValues) {
    EXPECT_EQ(StopBitsToWin32(sbOneStopBit), ONESTOPBIT);
    EXPECT_EQ(StopBitsToWin32(sbOne5StopBits), ONE5STOPBITS);
    EXPECT_EQ(StopBitsToWin32(sbTwoStopBits), TWOSTOPBITS);
    EXPECT_EQ(DataBitsToWin32(dbFive), 5);
    EXPECT_EQ(DataBitsToWin32(dbSix), 6);
    EXPECT_EQ(DataBitsToWin32(dbSeven), 7);
    EXPECT_EQ(DataBitsToWin32(dbEight), 8);
    const BYTE parities[] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
    for (std::size_t i = 0; i < std::size(parities); ++i) {
        EXPECT_EQ(ParityToWin32(static_cast<TParityBits>(i)), parities[i]);
        EXPECT_EQ(parities[i], i);
    }
    EXPECT_EQ(DTRControlToWin32(dtrDisable), DTR_CONTROL_DISABLE);
    EXPECT_EQ(DTRControlToWin32(dtrEnable), DTR_CONTROL_ENABLE);
    EXPECT_EQ(DTRControlToWin32(dtrHandshake), DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(RTSControlToWin32(rtsDisable), RTS_CONTROL_DISABLE);
    EXPECT_EQ(RTSControlToWin32(rtsEnable), RTS_CONTROL_ENABLE);
    EXPECT_EQ(RTSControlToWin32(rtsHandshake), RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(RTSControlToWin32(rtsToggle), RTS_CONTROL_TOGGLE);
}

// ---- Sets
// ----------------------------------------------------------------------------------------

TEST(ComSet, BasicOperations) {
    TComEvents s{evRxChar, evRing};
    EXPECT_TRUE(s.contains(evRxChar));
    EXPECT_TRUE(s.contains(evRing));
    EXPECT_FALSE(s.contains(evTxEmpty));
    EXPECT_EQ(s.size(), 2u);
    EXPECT_EQ(s.Bits(), 0b1001);
    s.insert(evRx80Full).erase(evRxChar);
    EXPECT_EQ(s, (TComEvents{evRing, evRx80Full}));
    EXPECT_EQ((TComEvents{evCTS} | TComEvents{evDSR}), (TComEvents{evCTS, evDSR}));
    EXPECT_EQ((TComEvents{evCTS, evDSR} & TComEvents{evDSR, evRLSD}), TComEvents{evDSR});
    EXPECT_EQ((TComEvents{evCTS, evDSR} - TComEvents{evDSR}), TComEvents{evCTS});
    EXPECT_TRUE(TComEvents{}.empty());
    EXPECT_NE(TComEvents{}, TComEvents{evRxChar});
    EXPECT_EQ(TComEvents::All().size(), 10u);
    EXPECT_EQ(TComEvents::All().Bits(), 0x03FF);
    EXPECT_EQ(TComEvents::FromBits(0xFFFF), TComEvents::All());
    EXPECT_EQ(TStoredProps::All().Bits(), 0x3F);
    EXPECT_EQ(TComErrors::All().Bits(), 0xFF);
    // A value outside the enumeration is never a member.
    s = TComEvents{};
    s.insert(static_cast<TComEvent>(10)).insert(static_cast<TComEvent>(255));
    EXPECT_TRUE(s.empty());
    EXPECT_FALSE(TComEvents::All().contains(static_cast<TComEvent>(12)));
}

TEST(ComSet, IteratesInOrdinalOrder) {
    std::vector<TComEvent> seen;
    for (TComEvent e : TComEvents{evRx80Full, evRxChar, evBreak, evTxEmpty})
        seen.push_back(e);
    EXPECT_EQ(seen, (std::vector<TComEvent>{evRxChar, evTxEmpty, evBreak, evRx80Full}));
    seen.clear();
    for (TComEvent e : TComEvents{})
        seen.push_back(e);
    EXPECT_TRUE(seen.empty());
    std::vector<TComError> errors;
    for (TComError e : TComErrors::All())
        errors.push_back(e);
    ASSERT_EQ(errors.size(), 8u);
    EXPECT_EQ(errors.front(), ceFrame);
    EXPECT_EQ(errors.back(), ceTxFull); // the top bit of its byte
}

TEST(ComSet, IsUsableAtCompileTime) {
    constexpr TStoredProps props{spBasic, spTimeouts};
    static_assert(props.contains(spTimeouts) && !props.contains(spParity));
    static_assert(props.Bits() == 0b1001);
    static_assert(AllComEvents.size() == 10);
}

// ---- Sets against Win32 masks
// --------------------------------------------------------------------

TEST(ComSetWin32, EachEventHasItsMaskBit) {
    const std::pair<TComEvent, DWORD> rows[] = {
        {evRxChar, 0x0001}, {evRxFlag, 0x0002},   {evTxEmpty, 0x0004}, {evCTS, 0x0008},
        {evDSR, 0x0010},    {evRLSD, 0x0020},     {evBreak, 0x0040},   {evError, 0x0080},
        {evRing, 0x0100},   {evRx80Full, 0x0400},
    };
    for (const auto& [event, mask] : rows) {
        EXPECT_EQ(ComEventsToMask(TComEvents{event}), mask) << int(event);
        EXPECT_EQ(MaskToComEvents(mask), TComEvents{event}) << int(event);
    }
    EXPECT_EQ(ComEventsToMask(AllComEvents), 0x05FFu);
    EXPECT_EQ(ComEventsToMask(TComEvents{}), 0u);
}

TEST(ComSetWin32, EveryEventSetRoundTripsThroughItsMask) {
    for (unsigned bits = 0; bits < 1024; ++bits) {
        const auto events = TComEvents::FromBits(static_cast<std::uint16_t>(bits));
        const DWORD mask = ComEventsToMask(events);
        EXPECT_EQ(mask & ~0x05FFu, 0u) << bits;
        EXPECT_EQ(MaskToComEvents(mask), events) << bits;
    }
}

TEST(ComSetWin32, MaskBitsThatNameNoEventAreIgnored) {
    // EV_PERR 0x200, EV_EVENT1 0x800, EV_EVENT2 0x1000 and anything above.
    EXPECT_EQ(MaskToComEvents(0x0200 | 0x0800 | 0x1000 | 0xFFFF0000u), TComEvents{});
    EXPECT_EQ(MaskToComEvents(0xFFFFFFFFu), AllComEvents);
}

TEST(ComSetWin32, ModemStatusGivesSignals) {
    EXPECT_EQ(ModemStatusToComSignals(MS_CTS_ON), TComSignals{csCTS});
    EXPECT_EQ(ModemStatusToComSignals(MS_DSR_ON), TComSignals{csDSR});
    EXPECT_EQ(ModemStatusToComSignals(MS_RING_ON), TComSignals{csRing});
    EXPECT_EQ(ModemStatusToComSignals(MS_RLSD_ON), TComSignals{csRLSD});
    EXPECT_EQ(ModemStatusToComSignals(0x0F), TComSignals{});
    for (unsigned bits = 0; bits < 16; ++bits) {
        const auto signals = TComSignals::FromBits(static_cast<std::uint8_t>(bits));
        EXPECT_EQ(ComSignalsToModemStatus(signals), bits << 4);
        EXPECT_EQ(ModemStatusToComSignals(ComSignalsToModemStatus(signals)), signals);
    }
}

TEST(ComSetWin32, ErrorFlagsGiveErrors) {
    const std::pair<TComError, DWORD> rows[] = {
        {ceFrame, 0x0008}, {ceRxParity, 0x0004}, {ceOverrun, 0x0002}, {ceBreak, 0x0010},
        {ceIO, 0x0400},    {ceMode, 0x8000},     {ceRxOver, 0x0001},  {ceTxFull, 0x0100},
    };
    for (const auto& [error, flag] : rows) {
        EXPECT_EQ(ErrorFlagsToComErrors(flag, true), TComErrors{error}) << int(error);
        EXPECT_EQ(ComErrorsToErrorFlags(TComErrors{error}), flag) << int(error);
    }
    // A parity error counts only while the port checks parity.
    EXPECT_EQ(ErrorFlagsToComErrors(CE_RXPARITY | CE_FRAME, false), TComErrors{ceFrame});
    // CE_PTO, CE_DNS, CE_OOP name no error.
    EXPECT_EQ(ErrorFlagsToComErrors(0x0200 | 0x0800 | 0x1000, true), TComErrors{});
    for (unsigned bits = 0; bits < 256; ++bits) {
        const auto errors = TComErrors::FromBits(static_cast<std::uint8_t>(bits));
        EXPECT_EQ(ErrorFlagsToComErrors(ComErrorsToErrorFlags(errors), true), errors) << bits;
    }
}

} // namespace
} // namespace zv
