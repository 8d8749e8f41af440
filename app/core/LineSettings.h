// A snapshot of a port's line settings, to put back when a device refuses new ones.
#pragma once

#include "cport/ComOptions.h"
#include "cport/ComTypes.h"

#include <cstdint>
#include <string>

namespace zv {

class TCustomComPort;

// The line settings the port setup dialog edits, taken from a port. A device that refuses new
// settings keeps running the old ones: PutBack hands those back to the port, so that a window
// neither shows nor remembers settings that are not in force (every later start would fail on
// them). A port that was open is open again afterwards, on the device it was open on.
class TLineSettings {
public:
    explicit TLineSettings(const TCustomComPort& Port);
    // Never raises: the refusal already reported is what the user must see.
    void PutBack(TCustomComPort& Port) noexcept;

private:
    std::string FPort;
    bool FOpen;
    TBaudRate FBaud;
    std::int32_t FCustomBaud;
    TDataBits FDataBits;
    TStopBits FStopBits;
    TParityBits FParity;
    TComFlowControl FFlow;
};

} // namespace zv
