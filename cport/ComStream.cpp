#include "cport/ComStream.h"

#include "cport/ComPort.h"

#include <algorithm>
#include <limits>

namespace zv {

namespace {

constexpr std::int64_t MaxCall = std::numeric_limits<std::int32_t>::max();

// Runs Call(offset, count) over Count bytes in pieces the port takes, until a piece ends short.
template <typename TCall> std::int64_t InPieces(std::int64_t Count, TCall Call) {
    if (Count <= MaxCall) // also zero and negative counts: the port answers them
        return Call(0, static_cast<std::int32_t>(std::max<std::int64_t>(Count, INT32_MIN)));
    std::int64_t Done = 0;
    while (Done < Count) {
        const auto Piece = static_cast<std::int32_t>(std::min(Count - Done, MaxCall));
        const std::int32_t Moved = Call(Done, Piece);
        Done += Moved;
        if (Moved < Piece)
            break;
    }
    return Done;
}

} // namespace

std::int64_t TComStream::Read(void* Buffer, std::int64_t Count) {
    auto* Bytes = static_cast<char*>(Buffer);
    return InPieces(Count, [&](std::int64_t At, std::int32_t N) {
        return FComPort->Read(Bytes == nullptr ? nullptr : Bytes + At, N);
    });
}

std::int64_t TComStream::Write(const void* Buffer, std::int64_t Count) {
    const auto* Bytes = static_cast<const char*>(Buffer);
    return InPieces(Count, [&](std::int64_t At, std::int32_t N) {
        return FComPort->Write(Bytes == nullptr ? nullptr : Bytes + At, N);
    });
}

std::int64_t TComStream::Seek(std::int64_t, TSeekOrigin) {
    return 0;
}

} // namespace zv
