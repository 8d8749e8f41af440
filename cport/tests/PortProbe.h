// A port whose apply operations count their calls, and which a test can mark as connected
// without a device, so that the setters' apply and refusal rules can be observed.
#pragma once

#include "cport/ComPort.h"

namespace zv::test {

struct ApplyCounts {
    int dcb = 0;
    int timeouts = 0;
    int buffer = 0;
    // Calls made while the settings would have reached the device.
    int dcbApplied = 0;
    int timeoutsApplied = 0;
    int bufferApplied = 0;

    int total() const { return dcb + timeouts + buffer; }
    friend bool operator==(const ApplyCounts&, const ApplyCounts&) = default;
};

class PortProbe : public TComPort {
public:
    ApplyCounts counts;

    // A probe marked connected holds no device: it lets go of the mark before the port's
    // destructor would close it.
    ~PortProbe() override {
        if (FHandle == INVALID_HANDLE_VALUE)
            FConnected = false;
    }

    void SetConnectedForTest(bool value) { FConnected = value; }
    void SetRxBufLinkedForTest(bool value) { FRxBufLinked = value; }
    std::int32_t UpdateCount() const { return FUpdateCount; }

    void ApplyDCB() override {
        ++counts.dcb;
        counts.dcbApplied += CanApply() ? 1 : 0;
        if (FHandle != INVALID_HANDLE_VALUE) // a probe marked connected has no device
            TComPort::ApplyDCB();
    }
    void ApplyTimeouts() override {
        ++counts.timeouts;
        counts.timeoutsApplied += CanApply() ? 1 : 0;
        if (FHandle != INVALID_HANDLE_VALUE) // a probe marked connected has no device
            TComPort::ApplyTimeouts();
    }
    void ApplyBuffer() override {
        ++counts.buffer;
        counts.bufferApplied += CanApply() ? 1 : 0;
        if (FHandle != INVALID_HANDLE_VALUE) // a probe marked connected has no device
            TComPort::ApplyBuffer();
    }
};

} // namespace zv::test
