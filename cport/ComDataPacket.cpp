#include "cport/ComDataPacket.h"

#include "cport/ComPort.h"
#include "toolkit/Text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace zv {

namespace {

constexpr unsigned char FoldCase(char c) noexcept {
    return static_cast<unsigned char>(LowerAscii(c));
}

// Hay holds at least Needle's length of bytes from At on.
bool EqualFrom(std::string_view Hay, std::size_t At, std::string_view Needle, bool Fold) {
    if (!Fold)
        return Needle.size() == 1 ? Hay[At] == Needle[0]
                                  : std::memcmp(Hay.data() + At, Needle.data(), Needle.size()) == 0;
    for (std::size_t i = 0; i < Needle.size(); ++i)
        if (FoldCase(Hay[At + i]) != FoldCase(Needle[i]))
            return false;
    return true;
}

// The first position at or after From where Needle begins in Hay, or npos. An empty needle is
// never found.
std::size_t Find(std::string_view Hay, std::string_view Needle, std::size_t From, bool Fold) {
    if (Needle.empty() || Hay.size() < Needle.size() || From > Hay.size() - Needle.size())
        return std::string_view::npos;
    const std::size_t Last = Hay.size() - Needle.size();
    const auto First = static_cast<unsigned char>(Needle[0]);
    const unsigned char Key = FoldCase(Needle[0]);
    if (!Fold || Key < 'a' || Key > 'z') {
        // The first byte has one form only: memchr finds the candidates.
        if (Needle.size() == 1) {
            const void* Hit = std::memchr(Hay.data() + From, First, Last - From + 1);
            return Hit == nullptr
                       ? std::string_view::npos
                       : static_cast<std::size_t>(static_cast<const char*>(Hit) - Hay.data());
        }
        for (std::size_t At = From; At <= Last; ++At) {
            const void* Hit = std::memchr(Hay.data() + At, First, Last - At + 1);
            if (Hit == nullptr)
                break;
            At = static_cast<std::size_t>(static_cast<const char*>(Hit) - Hay.data());
            if (EqualFrom(Hay, At, Needle, Fold))
                return At;
        }
        return std::string_view::npos;
    }
    for (std::size_t At = From; At <= Last; ++At)
        if (FoldCase(Hay[At]) == Key && EqualFrom(Hay, At, Needle, true))
            return At;
    return std::string_view::npos;
}

// Where the next search for Needle starts after one that found nothing in Hay from From on: an
// occurrence can still begin only where fewer than Needle's length bytes follow.
std::size_t ScannedAfterMiss(std::size_t HaySize, std::size_t NeedleSize, std::size_t From) {
    if (HaySize < NeedleSize)
        return From;
    return std::max(From, HaySize - NeedleSize + 1);
}

} // namespace

TComDataPacket::TComDataPacket(TComponent* AOwner)
    : TComponent(AOwner), FLink(std::make_unique<TComLink>()) {
    // Storage on the heap from the start: a view lent to a handler must survive moving the
    // string into FRetired, which a string kept inside the object would not.
    FData.reserve(256);
    FLink->OnLinkRxData = [this](TObject* Sender, const void* Buffer, std::int32_t Count) {
        RxBuf(Sender, Buffer, Count);
    };
}

TComDataPacket::~TComDataPacket() {
    SetComPort(nullptr);
}

// ---- Properties ------------------------------------------------------------------------------

void TComDataPacket::SetComPort(TCustomComPort* Value) {
    if (Value == FComPort)
        return;
    if (FComPort != nullptr) {
        TCustomComPort* Old = FComPort;
        FComPort = nullptr;
        Old->UnRegisterLink(FLink.get());
        RemoveFreeNotification(Old);
    }
    FComPort = Value;
    if (Value != nullptr) {
        Value->FreeNotification(this);
        Value->RegisterLink(FLink.get());
    }
}

void TComDataPacket::SetCaseInsensitive(bool Value) {
    if (Value == FCaseInsensitive)
        return;
    FCaseInsensitive = Value;
    ResetSearch();
    if (!Loading())
        EmptyBuffer();
}

void TComDataPacket::SetSize(std::int32_t Value) {
    if (Value == FSize)
        return;
    FSize = Value;
    ResetSearch();
    if (!Loading())
        EmptyBuffer();
}

void TComDataPacket::SetStartString(const std::string& Value) {
    if (Value == FStartString)
        return;
    FStartString = Value;
    ResetSearch();
    if (!Loading())
        EmptyBuffer();
}

void TComDataPacket::SetStopString(const std::string& Value) {
    if (Value == FStopString)
        return;
    FStopString = Value;
    ResetSearch();
    if (!Loading())
        EmptyBuffer();
}

void TComDataPacket::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent != nullptr && AComponent == FComPort)
        SetComPort(nullptr);
}

// ---- Feeding ---------------------------------------------------------------------------------

void TComDataPacket::RxBuf(TObject*, const void* Buffer, std::int32_t Count) {
    if (Buffer == nullptr || Count <= 0)
        AddData(std::string_view());
    else
        AddData(
            std::string_view(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count)));
}

void TComDataPacket::AddData(std::string_view Str) {
    if (!ValidStop()) {
        DoPacket(std::string(Str));
        return;
    }
    Append(Str);
    if (FPassing) {
        // Fed by a handler during a pass: that pass works on positions in the buffer as it was,
        // so the new bytes wait for the next pass of the loop.
        if (!Str.empty())
            FRepeat = true;
        return;
    }
    HandleBuffer();
}

bool TComDataPacket::ValidStop() const noexcept {
    return FSize > 0 || !FStopString.empty() || OnCustomStop != nullptr;
}

// ---- The passes ------------------------------------------------------------------------------

void TComDataPacket::HandleBuffer() {
    if (FPassing) {
        // A further pass of the loop below.
        if (Pass())
            FRepeat = true;
        return;
    }
    FPassing = true;
    FRepeat = false;
    try {
        bool Again = Pass() || FRepeat; // FRepeat: a handler fed bytes during the pass
        while (Again) {
            FRepeat = false;
            HandleBuffer(); // through virtual dispatch: an override sees every pass
            Again = FRepeat;
        }
    } catch (...) {
        FPassing = false;
        CheckOverflow();
        throw;
    }
    FPassing = false;
    CheckOverflow();
}

bool TComDataPacket::Pass() {
    const std::uint64_t TakenBefore = FTaken;
    if (!FInPacket)
        StartSearch();
    if (!FInPacket)
        return false;
    if (!StopSearch())
        return false;
    return FTaken != TakenBefore;
}

void TComDataPacket::StartSearch() {
    std::int32_t N = -1;
    {
        const TLend Lend(*this);
        DoCustomStart(Buffer(), N);
    }
    std::size_t Start = 0; // 1-based position of the packet's first byte
    if (N > 0) {
        Start = static_cast<std::size_t>(N);
    } else if (N != -1) {
        return; // no start yet
    } else if (FStartString.empty()) {
        FInPacket = true; // the packet starts at the first byte
        return;
    } else {
        const std::string_view Buf = Buffer();
        const std::size_t At = Find(Buf, FStartString, FStartScanned, FCaseInsensitive);
        if (At == std::string_view::npos) {
            FStartScanned = ScannedAfterMiss(Buf.size(), FStartString.size(), FStartScanned);
            return;
        }
        Start = At + 1;
    }
    // What lies before the start is discarded (a position beyond the end: the whole buffer).
    FInPacket = true;
    const std::size_t Count = std::min(Start - 1, Buffer().size());
    if (Count > 0) {
        const std::string Dropped = TakeFront(Count);
        DoDiscard(Dropped);
    }
}

bool TComDataPacket::StopSearch() {
    std::int32_t N = -1;
    {
        const TLend Lend(*this);
        DoCustomStop(Buffer(), N);
    }
    const std::string_view Buf = Buffer();
    std::size_t Length = 0;
    std::size_t Unsearched = SIZE_MAX; // where the strip check must look for an earlier stop
    if (N > 0) {
        Length = std::min<std::size_t>(static_cast<std::size_t>(N), Buf.size());
    } else if (N != -1) {
        return false; // the packet continues
    } else if (FSize > 0 && Buf.size() >= static_cast<std::size_t>(FSize)) {
        Length = static_cast<std::size_t>(FSize);
    } else {
        if (FStopString.empty())
            return false;
        // The first bytes, as many as the start string has, are not searched.
        const std::size_t From = std::max(FStartString.size(), FStopScanned);
        const std::size_t At = Find(Buf, FStopString, From, FCaseInsensitive);
        if (At == std::string_view::npos) {
            FStopScanned = ScannedAfterMiss(Buf.size(), FStopString.size(), From);
            return false;
        }
        Length = At + FStopString.size();
        // No stop string begins between the start string's length and At.
        Unsearched = FStartString.size();
    }
    FInPacket = false;
    std::string Packet = TakeFront(Length);
    CheckIncludeStrings(Packet, std::min(Unsearched, Packet.size()));
    DoPacket(Packet);
    return true;
}

void TComDataPacket::CheckIncludeStrings(std::string& Str, std::size_t Unsearched) const {
    if (FIncludeStrings)
        return;
    const std::size_t L = FStartString.size();
    if (L > 0 && Str.size() >= L && EqualFrom(Str, 0, FStartString, FCaseInsensitive)) {
        Str.erase(0, L);
        Unsearched -= std::min(Unsearched, L);
    }
    // The stop string goes only when its first occurrence is at the very end. An earlier one can
    // begin only before Unsearched.
    const std::size_t M = FStopString.size();
    if (M > 0 && Str.size() >= M && EqualFrom(Str, Str.size() - M, FStopString, FCaseInsensitive)) {
        const std::size_t End = Str.size() - M;
        const std::string_view Earlier =
            std::string_view(Str).substr(0, std::min(Unsearched, End) + M - 1);
        if (Find(Earlier, FStopString, 0, FCaseInsensitive) == std::string_view::npos)
            Str.erase(End);
    }
}

void TComDataPacket::EmptyBuffer() {
    if (Buffer().empty())
        return;
    // Taken out before the handler runs, so that bytes it feeds meanwhile are kept.
    const std::string Dropped = TakeFront(Buffer().size());
    FInPacket = false;
    DoDiscard(Dropped);
}

void TComDataPacket::CheckOverflow() {
    if (FMaxBufferSize > 0 && Buffer().size() >= static_cast<std::size_t>(FMaxBufferSize))
        EmptyBuffer();
}

void TComDataPacket::ResetSearch() noexcept {
    FStartScanned = 0;
    FStopScanned = 0;
}

// ---- The buffer ------------------------------------------------------------------------------

void TComDataPacket::Append(std::string_view Str) {
    if (Str.empty())
        return;
    if (FLent == 0) {
        Compact();
        FData.append(Str);
        return;
    }
    // A handler holds a view of the storage: growing in place must not move it.
    if (FData.size() + Str.size() <= FData.capacity()) {
        FData.append(Str);
        return;
    }
    std::string Grown;
    Grown.reserve(2 * (FData.size() + Str.size()));
    Grown.append(FData);
    Grown.append(Str);
    FRetired.push_back(std::move(FData));
    FData = std::move(Grown);
}

std::string TComDataPacket::TakeFront(std::size_t Count) {
    Count = std::min(Count, FData.size() - FHead);
    std::string Front(FData, FHead, Count);
    FHead += Count;
    FTaken += Count;
    if (Count > 0)
        ResetSearch();
    return Front;
}

void TComDataPacket::Compact() {
    // Cut the front off once it is at least as long as the rest: each byte moves at most once
    // per byte taken, so the cost per byte stays constant.
    if (FLent != 0 || FHead == 0)
        return;
    if (FHead == FData.size()) {
        FData.clear();
        FHead = 0;
    } else if (FHead >= FData.size() - FHead) {
        FData.erase(0, FHead);
        FHead = 0;
    }
}

// ---- Dispatch --------------------------------------------------------------------------------

void TComDataPacket::DoDiscard(const std::string& Str) {
    if (OnDiscard)
        OnDiscard(this, Str);
}

void TComDataPacket::DoPacket(const std::string& Str) {
    if (OnPacket)
        OnPacket(this, Str);
}

void TComDataPacket::DoCustomStart(std::string_view Str, std::int32_t& Pos) {
    if (OnCustomStart)
        OnCustomStart(this, Str, Pos);
}

void TComDataPacket::DoCustomStop(std::string_view Str, std::int32_t& Pos) {
    if (OnCustomStop)
        OnCustomStop(this, Str, Pos);
}

} // namespace zv
