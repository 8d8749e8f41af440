#include "app/core/LineSettings.h"

#include "cport/ComPort.h"

namespace zv {

TLineSettings::TLineSettings(const TCustomComPort& Port)
    : FPort(Port.Port()), FBaud(Port.BaudRate()), FCustomBaud(Port.CustomBaudRate()),
      FDataBits(Port.DataBits()), FStopBits(Port.StopBits()), FParity(Port.Parity()->Bits()) {
    FFlow.Assign(Port.FlowControl());
}

void TLineSettings::PutBack(TCustomComPort& Port) noexcept {
    try {
        Port.BeginUpdate();
        try {
            Port.SetPort(FPort);
            Port.SetCustomBaudRate(FCustomBaud);
            Port.SetBaudRate(FBaud);
            Port.SetDataBits(FDataBits);
            Port.SetStopBits(FStopBits);
            Port.Parity()->SetBits(FParity);
            Port.FlowControl()->Assign(&FFlow);
        } catch (...) {
        }
        Port.EndUpdate();
    } catch (...) {
    }
}

} // namespace zv
