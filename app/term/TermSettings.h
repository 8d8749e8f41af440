// zelvator-term's remembered settings: the port's line settings, through the port's own settings
// storage (section "ComPort1"), and the terminal's options beside them (section "ComTerminal1"),
// in one initialisation file. A bare file name lies in the configuration folder (ConfigFilePath in
// app/core/HostSystem.h).
#pragma once

#include <string>

namespace zv {

class TCustomComPort;
class TCustomComTerminal;

inline constexpr const char* TermSettingsFile = "zelvator-term.ini";

// Reads what File holds; a setting it does not hold keeps its value. Raises EComPort 17 when the
// port's part fails.
void LoadTermSettings(TCustomComPort& Port, TCustomComTerminal& Terminal,
                      const std::string& File = TermSettingsFile);
// Writes both parts. Raises EComPort 16 when the port's part fails, EIniFileException when the
// terminal's does.
void StoreTermSettings(TCustomComPort& Port, TCustomComTerminal& Terminal,
                       const std::string& File = TermSettingsFile);

} // namespace zv
