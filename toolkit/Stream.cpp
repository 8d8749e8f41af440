#include "toolkit/Stream.h"

#include "toolkit/Exception.h"

#include <algorithm>
#include <cstring>

namespace zv {

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
    if (Count != 0 && Read(Buffer, Count) != Count)
        throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
    if (Count != 0 && Write(Buffer, Count) != Count)
        throw EWriteError("Stream write error");
}

std::int64_t TStream::Size() {
    const std::int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
    const std::int64_t End = Seek(0, TSeekOrigin::soEnd);
    Seek(Pos, TSeekOrigin::soBeginning);
    return End;
}

std::int64_t TMemoryStream::Read(void* Buffer, std::int64_t Count) {
    const std::int64_t Left = Size() - FPosition;
    const std::int64_t N = std::clamp<std::int64_t>(Count, 0, std::max<std::int64_t>(Left, 0));
    if (N > 0) {
        std::memcpy(Buffer, FData.data() + FPosition, static_cast<std::size_t>(N));
        FPosition += N;
    }
    return N;
}

std::int64_t TMemoryStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0)
        return 0;
    const auto End = static_cast<std::size_t>(FPosition + Count);
    if (End > FData.size())
        FData.resize(End);
    std::memcpy(FData.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
    FPosition += Count;
    return Count;
}

std::int64_t TMemoryStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    std::int64_t Base = 0;
    switch (Origin) {
    case TSeekOrigin::soBeginning:
        Base = 0;
        break;
    case TSeekOrigin::soCurrent:
        Base = FPosition;
        break;
    case TSeekOrigin::soEnd:
        Base = Size();
        break;
    }
    FPosition = std::max<std::int64_t>(Base + Offset, 0);
    return FPosition;
}

void TMemoryStream::Clear() {
    FData.clear();
    FPosition = 0;
}

} // namespace zv
