// The downloader's remembered port. Once "Setup COM" is confirmed the window stores ComPort1's
// basic line settings (Port, BaudRate, CustomBaudRate for a custom speed, StopBits, DataBits,
// Parity and FlowControl) in the section [ComPort1] of zelvator.ini in the configuration folder,
// and loads them when it starts; zelvator-cli's port commands take the same settings as their
// defaults. Both go through the port's own settings storage (StoreSettings/LoadSettings), so the
// file is the one any program of the component set reads.
#pragma once

#include <string>

namespace zv {

class TCustomComPort;

// The file name as the profile functions take it (a bare name: the configuration folder), and
// the name of the port whose section holds the settings.
inline constexpr const char* BoardSettingsFileName = "zelvator.ini";
inline constexpr const char* BoardPortName = "ComPort1";

// The file behind `file` for messages: ConfigFilePath (app/core/HostSystem.h).
std::string BoardSettingsPath(const std::string& file = BoardSettingsFileName);

enum TBoardSettingsState {
    bsNone,    // no file: the port keeps its settings
    bsLoaded,  // the stored settings were loaded
    bsRefused, // the file or a value in it cannot be used: the port keeps its settings
};

struct TBoardSettingsLoad {
    TBoardSettingsState State = bsNone;
    // bsRefused: what is wrong, naming the file ("/home/u/.config/zelvator/zelvator.ini:
    // BaudRate=fast is not a value of BaudRate").
    std::string Problem;
};

// Loads the section named after `port` from `file` into `port`. Every stored basic value is
// checked first, and one that cannot be used (an empty Port, a text that is none of its
// setting's values, a custom speed that is not a positive number) refuses the whole section,
// so the port gets either all the stored settings or none. A file that exists without a section
// that can be read (binary garbage, not a regular file, no [ComPort1]) is refused too. A load
// failure of the port itself (EComPort 17, which a closed port does not raise) is reported as
// bsRefused, with the values loaded before it in place. Never raises for a bad file.
TBoardSettingsLoad LoadBoardSettings(TCustomComPort& port,
                                     const std::string& file = BoardSettingsFileName);

// Why the board protocol cannot run on the port's line settings, or empty text: a frame the
// serial driver refuses ("StopBits=1.5 cannot be used with DataBits=8"; a closed port takes it
// without a word, and the next open fails), or a flow control that lets the driver drive RTS,
// the board's mode line, so that every download fails setting it. A window checks a confirmed
// setup with it before the settings are remembered.
std::string BoardSettingsProblem(const TCustomComPort& port);

// Stores the port's settings (its StoredProps, by default the basic ones) in the section named
// after it. A failure raises Exception with the port's message, the file and the system's code:
// "Failed to store settings in /x/zelvator.ini (win error code: 5)"; values written before it
// stay.
void StoreBoardSettings(TCustomComPort& port, const std::string& file = BoardSettingsFileName);

} // namespace zv
