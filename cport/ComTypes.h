// The vocabulary of one serial line configuration: line speeds, framing, handshakes, line
// events, modem signals and line errors, their Win32 values and their text forms.
//
// Ordinals are part of the contract: stored settings and the setting selectors depend on the
// order of every enumeration, so values are only ever appended, never reordered.
#pragma once

#include "cport/ComSet.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

// ---- Enumerations ------------------------------------------------------------------------------

// Line speed; each value but brCustom is the bit rate in its name. brCustom means that the
// port's CustomBaudRate is the speed.
enum TBaudRate : std::uint8_t {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
// How the driver drives DTR and RTS.
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
// A summary of the handshake options of TComFlowControl.
enum TFlowControl : std::uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };
// Line events the event thread waits for.
enum TComEvent : std::uint8_t {
    evRxChar,
    evTxEmpty,
    evRxFlag,
    evRing,
    evBreak,
    evCTS,
    evDSR,
    evError,
    evRLSD,
    evRx80Full
};
// Modem input lines.
enum TComSignal : std::uint8_t { csCTS, csDSR, csRing, csRLSD };
// Line error conditions.
enum TComError : std::uint8_t {
    ceFrame,
    ceRxParity,
    ceOverrun,
    ceBreak,
    ceIO,
    ceMode,
    ceRxOver,
    ceTxFull
};
// How line events reach the application.
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };
// Where settings are stored.
enum TStoreType : std::uint8_t { stRegistry, stIniFile };
// Groups of settings for storage.
enum TStoredProp : std::uint8_t {
    spBasic,
    spFlowControl,
    spBuffer,
    spTimeouts,
    spParity,
    spOthers
};

// Number of values of each enumeration: EnumCount<TBaudRate> is 16. Valid ordinals are
// 0 .. EnumCount<E> - 1.
template <typename E> inline constexpr std::size_t EnumCount = 0;
template <> inline constexpr std::size_t EnumCount<TBaudRate> = 16;
template <> inline constexpr std::size_t EnumCount<TStopBits> = 3;
template <> inline constexpr std::size_t EnumCount<TDataBits> = 4;
template <> inline constexpr std::size_t EnumCount<TParityBits> = 5;
template <> inline constexpr std::size_t EnumCount<TDTRFlowControl> = 3;
template <> inline constexpr std::size_t EnumCount<TRTSFlowControl> = 4;
template <> inline constexpr std::size_t EnumCount<TFlowControl> = 4;
template <> inline constexpr std::size_t EnumCount<TComEvent> = 10;
template <> inline constexpr std::size_t EnumCount<TComSignal> = 4;
template <> inline constexpr std::size_t EnumCount<TComError> = 8;
template <> inline constexpr std::size_t EnumCount<TSyncMethod> = 3;
template <> inline constexpr std::size_t EnumCount<TStoreType> = 2;
template <> inline constexpr std::size_t EnumCount<TStoredProp> = 6;

// ---- Sets
// ----------------------------------------------------------------------------------------

using TComEvents = TSet<TComEvent, std::uint16_t, 10>; // 16 bits, ten members used
using TComSignals = TSet<TComSignal, std::uint8_t, 4>;
using TComErrors = TSet<TComError, std::uint8_t, 8>;
using TStoredProps = TSet<TStoredProp, std::uint8_t, 6>;

inline constexpr TComEvents AllComEvents = TComEvents::All();

// ---- Win32 values
// -------------------------------------------------------------------------------- An ordinal
// outside its enumeration maps like the type's default value (br9600, sbOneStopBit, dbEight,
// prNone, dtrDisable, rtsDisable), so a damaged value never reaches the device as garbage.

// DCB.BaudRate: the rate in the name; brCustom gives customBaudRate.
DWORD BaudRateToWin32(TBaudRate rate, std::int32_t customBaudRate);
// DCB.StopBits: ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS.
BYTE StopBitsToWin32(TStopBits bits);
// DCB.ByteSize: 5 to 8.
BYTE DataBitsToWin32(TDataBits bits);
// DCB.Parity: NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY.
BYTE ParityToWin32(TParityBits bits);
// DCB.fDtrControl: DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE.
DWORD DTRControlToWin32(TDTRFlowControl control);
// DCB.fRtsControl: RTS_CONTROL_DISABLE, _ENABLE, _HANDSHAKE, _TOGGLE.
DWORD RTSControlToWin32(TRTSFlowControl control);

// The event mask of SetCommMask/WaitCommEvent: exactly the EV_* bits of the members present.
DWORD ComEventsToMask(TComEvents events);
// The inverse of ComEventsToMask; every mask bit that names no member is ignored.
TComEvents MaskToComEvents(DWORD mask);

// The modem status word of GetCommModemStatus (MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON) as
// signals, and back.
TComSignals ModemStatusToComSignals(DWORD modemStatus);
DWORD ComSignalsToModemStatus(TComSignals signals);

// The error flags of ClearCommError (CE_*) as errors. CE_RXPARITY counts only while the port
// checks parity (parityCheck); other flag bits are ignored.
TComErrors ErrorFlagsToComErrors(DWORD errorFlags, bool parityCheck);
DWORD ComErrorsToErrorFlags(TComErrors errors);

// ---- Text forms
// ---------------------------------------------------------------------------------- To text:
// "9600", "1.5", "8", "Even", "Hardware"... An ordinal outside the type gives "". From text: the
// value whose text equals the given one, ASCII letters compared without case, whole and untrimmed;
// anything else reads as the fixed default (br9600, sbOneStopBit, dbEight, prNone, fcCustom). They
// never fail.

std::string BaudRateToStr(TBaudRate value);
std::string StopBitsToStr(TStopBits value);
std::string DataBitsToStr(TDataBits value);
std::string ParityToStr(TParityBits value);
std::string FlowControlToStr(TFlowControl value);

TBaudRate StrToBaudRate(std::string_view text);
TStopBits StrToStopBits(std::string_view text);
TDataBits StrToDataBits(std::string_view text);
TParityBits StrToParity(std::string_view text);
TFlowControl StrToFlowControl(std::string_view text);

} // namespace zv
