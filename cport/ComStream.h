// TComStream: a byte stream over a port, for code written against TStream. Reading the stream
// reads from the port and writing it writes to the port, through the port's synchronous Read and
// Write (so the port's time-outs decide how long a read waits and how short it may end). A port
// has no position and no length: Seek changes nothing and answers 0, so Position and Size read 0.
//
// Errors of the port (EComPort) pass through unchanged; the stream does not check that the port
// is open. A read that ends short returns the smaller count, and ReadBuffer/WriteBuffer then
// raise EReadError/EWriteError as for any short stream.
#pragma once

#include "toolkit/Stream.h"

#include <cstdint>

namespace zv {

class TCustomComPort;

class TComStream : public TStream {
public:
    // The port is not owned and must outlive the stream.
    explicit TComStream(TCustomComPort* AComPort) noexcept : FComPort(AComPort) {}

    // Counts beyond what one port call takes are transferred in several calls, until one of them
    // ends short. A negative count is passed to the port, which refuses it.
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;

    TCustomComPort* ComPort() const noexcept { return FComPort; }

private:
    TCustomComPort* FComPort;
};

} // namespace zv
