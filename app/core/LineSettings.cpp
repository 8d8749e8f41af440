#include "app/core/LineSettings.h"

#include "cport/ComPort.h"

namespace zv {

TLineSettings::TLineSettings(const TCustomComPort& Port)
    : FPort(Port.Port()), FOpen(Port.Connected()), FBaud(Port.BaudRate()),
      FCustomBaud(Port.CustomBaudRate()), FDataBits(Port.DataBits()), FStopBits(Port.StopBits()),
      FParity(Port.Parity()->Bits()) {
    FFlow.Assign(Port.FlowControl());
}

void TLineSettings::PutBack(TCustomComPort& Port) noexcept {
    try {
        Port.BeginUpdate();
        try {
            // The line settings first: a device opened inside the bracket (the device name put
            // back) runs the port's settings at once, and would refuse the new ones as well.
            Port.SetCustomBaudRate(FCustomBaud);
            Port.SetBaudRate(FBaud);
            Port.SetDataBits(FDataBits);
            Port.SetStopBits(FStopBits);
            Port.Parity()->SetBits(FParity);
            Port.FlowControl()->Assign(&FFlow);
            Port.SetPort(FPort);
        } catch (...) {
        }
        Port.EndUpdate();
    } catch (...) {
    }
    // A port that was open, and that the refused device left closed, is open again.
    if (FOpen && !Port.Connected()) {
        try {
            Port.Open();
        } catch (...) {
        }
    }
}

} // namespace zv
