// The abstract byte stream and the memory stream.
#pragma once

#include "toolkit/Object.h"

#include <cstdint>
#include <vector>

namespace zv {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// A sequence of bytes with a position. Read and Write transfer at most Count bytes and return
// how many they did; ReadBuffer and WriteBuffer insist on the exact count and raise EReadError or
// EWriteError on a short one. Position and Size are built on Seek.
class TStream : public TObject {
public:
    virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
    virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
    // Moves the position and returns the new one.
    virtual std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) = 0;

    void ReadBuffer(void* Buffer, std::int64_t Count);
    void WriteBuffer(const void* Buffer, std::int64_t Count);

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }
    // The end's position; the current position is kept.
    virtual std::int64_t Size();
};

// A stream in memory that grows as it is written. Seeking is clamped to 0 and may go past the
// end; a write there fills the gap with zero bytes.
class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(FData.size()); }

    const std::vector<std::uint8_t>& Data() const noexcept { return FData; }
    void Clear();

private:
    std::vector<std::uint8_t> FData;
    std::int64_t FPosition = 0;
};

} // namespace zv
