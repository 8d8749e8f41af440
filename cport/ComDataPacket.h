// TComDataPacket: cuts the byte stream arriving on a port into packets.
//
// The framer observes a port through its own TComLink and collects every received block in a
// buffer (AddData feeds it the same way without a port). A packet begins at a start string, at a
// position chosen by OnCustomStart, or at once when neither is set; it ends after a fixed Size,
// at a stop string, or at a position chosen by OnCustomStop. Each complete packet goes to
// OnPacket (start and stop strings stripped unless IncludeStrings is set); bytes before a start
// and a buffer that reached MaxBufferSize go to OnDiscard. With no way to end a packet (no Size,
// no StopString, no OnCustomStop) every block is one packet, as it came.
//
// One pass of HandleBuffer looks for a start (when outside a packet) and then for the end; after
// a pass that delivered a packet and took bytes out of the buffer, HandleBuffer runs again on
// what is left, until a pass finds nothing. A pass that takes nothing out of the buffer (a
// custom stop handler answering a position for an empty buffer) ends the passes, so no answer of
// a handler makes the framer loop. The passes run in a loop, not nested, so a block holding any
// number of packets uses a fixed amount of stack. When the passes end (also when a handler
// raised), a buffer of MaxBufferSize bytes or more is discarded.
//
// Cost: the start and stop searches remember how far they have looked, so a packet arriving in
// many small blocks is searched once, not once per block; taking bytes out of the front of the
// buffer moves no memory. Only the custom handlers see the whole buffer on every pass.
//
// Texts are byte strings that may hold any byte, zero included. Letter case is folded for ASCII
// a-z only.
//
// Threads: everything runs on the thread that feeds the framer: for port data the thread on which
// the port dispatches its events (the main thread, or the event thread in smNone mode). ComPort
// is changed only on the main thread, and in smNone mode only while the port is closed.
#pragma once

#include "cport/ComLink.h"
#include "toolkit/Component.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

class TCustomComPort;

// Str: a packet or discarded bytes.
using TComStrEvent = std::function<void(TObject* Sender, const std::string& Str)>;
// Str: the whole current buffer, valid for the whole call (also when the handler feeds the
// framer meanwhile). Pos arrives as -1; the handler sets the 1-based position it chooses.
using TCustPacketEvent =
    std::function<void(TObject* Sender, std::string_view Str, std::int32_t& Pos)>;

class TComDataPacket : public TComponent {
public:
    explicit TComDataPacket(TComponent* AOwner = nullptr);
    ~TComDataPacket() override;

    // Feeds bytes as if they had been received.
    void AddData(std::string_view Str);
    // The handler of the link's received data: Count bytes from Buffer.
    void RxBuf(TObject* Sender, const void* Buffer, std::int32_t Count);

    // The port observed (not owned). Changing it unregisters the link from the old port and
    // registers it with the new one; the buffer is kept.
    TCustomComPort* ComPort() const noexcept { return FComPort; }
    void SetComPort(TCustomComPort* Value);
    // Start and stop strings match regardless of ASCII letter case.
    bool CaseInsensitive() const noexcept { return FCaseInsensitive; }
    void SetCaseInsensitive(bool Value);
    // Packets keep their start and stop strings.
    bool IncludeStrings() const noexcept { return FIncludeStrings; }
    void SetIncludeStrings(bool Value) noexcept { FIncludeStrings = Value; }
    // Buffer length at which unprocessed bytes are discarded; 0 or less: no limit.
    std::int32_t MaxBufferSize() const noexcept { return FMaxBufferSize; }
    void SetMaxBufferSize(std::int32_t Value) noexcept { FMaxBufferSize = Value; }
    const std::string& StartString() const noexcept { return FStartString; }
    void SetStartString(const std::string& Value);
    // Ends a packet; the packet's length includes it.
    const std::string& StopString() const noexcept { return FStopString; }
    void SetStopString(const std::string& Value);
    // Fixed packet length; 0 or less: not used. Tested before the stop string.
    std::int32_t Size() const noexcept { return FSize; }
    void SetSize(std::int32_t Value);

    // The received bytes not yet delivered or discarded; valid until the framer is fed again.
    std::string_view Buffer() const noexcept { return std::string_view(FData).substr(FHead); }
    // A packet has begun and its end is being looked for.
    bool InPacket() const noexcept { return FInPacket; }

    TComStrEvent OnDiscard;
    TComStrEvent OnPacket;
    TCustPacketEvent OnCustomStart;
    TCustPacketEvent OnCustomStop;

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;
    // Works on the buffer: one pass when called from within the passes, all of them otherwise.
    virtual void HandleBuffer();
    virtual void DoDiscard(const std::string& Str);
    virtual void DoPacket(const std::string& Str);
    virtual void DoCustomStart(std::string_view Str, std::int32_t& Pos);
    virtual void DoCustomStop(std::string_view Str, std::int32_t& Pos);

private:
    bool ValidStop() const noexcept;
    // One pass; true when it delivered a packet and took bytes out of the buffer.
    bool Pass();
    void StartSearch();
    // True when it delivered a packet.
    bool StopSearch();
    // Strips the start and stop strings from a packet unless IncludeStrings is set. The stop
    // search has shown that no stop string begins between Unsearched and the packet's final one,
    // so an earlier occurrence is looked for only before Unsearched.
    void CheckIncludeStrings(std::string& Str, std::size_t Unsearched) const;
    void EmptyBuffer();
    void CheckOverflow();
    // Forgets how far the searches have looked (the buffer or the strings changed).
    void ResetSearch() noexcept;

    // The buffer is FData[FHead..]. Bytes are taken from the front by moving FHead; the front
    // is cut off only while no custom handler holds a view of the storage.
    void Append(std::string_view Str);
    std::string TakeFront(std::size_t Count);
    void Compact();
    // Held while a custom handler has a view of the buffer: the storage is then neither cut nor
    // moved, and storage replaced meanwhile is kept until the last such handler returns.
    class TLend {
    public:
        explicit TLend(TComDataPacket& Framer) noexcept : FFramer(Framer) { ++FFramer.FLent; }
        ~TLend() {
            if (--FFramer.FLent == 0 && !FFramer.FRetired.empty())
                FFramer.FRetired.clear();
        }
        TLend(const TLend&) = delete;
        TLend& operator=(const TLend&) = delete;

    private:
        TComDataPacket& FFramer;
    };

    std::unique_ptr<TComLink> FLink;
    TCustomComPort* FComPort = nullptr;
    std::string FStartString;
    std::string FStopString;
    std::int32_t FMaxBufferSize = 1024;
    std::int32_t FSize = 0;
    bool FIncludeStrings = false;
    bool FCaseInsensitive = false;
    bool FInPacket = false;

    std::string FData;
    std::size_t FHead = 0;
    // Bytes taken out of the buffer so far: a pass that leaves it unchanged consumed nothing.
    std::uint64_t FTaken = 0;
    // Positions (in the buffer) before which the start, resp. the stop, string is known not to
    // begin.
    std::size_t FStartScanned = 0;
    std::size_t FStopScanned = 0;
    // Passes: set while the loop of passes runs; FRepeat: a pass asked for another one.
    bool FPassing = false;
    bool FRepeat = false;
    // Custom handlers running now, and storage replaced while they held a view of it.
    int FLent = 0;
    std::vector<std::string> FRetired;
};

} // namespace zv
