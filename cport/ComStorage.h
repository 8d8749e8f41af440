// Settings storage: the text encodings of stored values and the choice of the registry key.
// The port's StoreSettings/LoadSettings (ComPort.h) use them.
#pragma once

#include "cport/ComTypes.h"

#include <string>
#include <string_view>

namespace zv {

class TRegistry;

// "Yes" / "No"; reading: the text upper-cased (ASCII) equal to "YES" is true, anything else false.
std::string BoolToYesNo(bool value);
bool YesNoToBool(std::string_view text);

// Codes 33 to 127 as that one character, every other code as "#" and its decimal code ("#0",
// "#17", "#200"). Reading: empty text is code 0; text not starting with "#", or one character
// long, is its first character; otherwise the text after "#" converted as an integer (decimal
// or "$" hexadecimal), low 8 bits; text that does not convert is code 0.
std::string CharToSettingStr(char value);
char SettingStrToChar(std::string_view text);

// "Disable", "Enable", "Handshake" (and "Toggle" for RTS). Reading compares upper-cased texts;
// no match is dtrDisable / rtsDisable.
std::string DTRControlToStr(TDTRFlowControl value);
TDTRFlowControl StrToDTRControl(std::string_view text);
std::string RTSControlToStr(TRTSFlowControl value);
TRTSFlowControl StrToRTSControl(std::string_view text);

// Opens the key of a port's settings: KeyText is "ROOT\path" with ROOT HKEY_LOCAL_MACHINE or
// HKEY_CURRENT_USER (any other text before the first backslash leaves the root at
// HKEY_CURRENT_USER and is dropped); the key is path + "\" + Name under that root, created when
// missing if CanCreate (else opened for reading only). Without a backslash no key is opened; when
// that open fails no key is open either. Returns whether a key is open. Nothing after the first
// backslash raises ERegistryException.
bool OpenSettingsKey(TRegistry* Registry, const std::string& KeyText, const std::string& Name,
                     bool CanCreate = true);

} // namespace zv
