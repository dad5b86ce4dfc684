// Byte layouts of the two network services, kept free of sockets so that they are tested and fuzzed
// natively. The sockets code in tips.cpp and game_platform.cpp only moves these bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/answer_budget.hpp"
#include "common/answer_room.hpp"
#include "common/failure.hpp"

namespace orvane::wire {

// ---- Tips service (UDP) ----

inline constexpr std::uint16_t kTipsPort = 6667;
// Largest reply datagram taken; anything longer is a failed receive.
inline constexpr std::size_t kTipsReplyCapacity = 1024;
// The report is formatted into a buffer of this size, its terminating zero byte included.
inline constexpr std::size_t kTipsReportCapacity = 1024;

// "request=tips&pid=<pid>&cid=<cid>" and its zero byte: the server expects the terminator on the wire.
std::string TipsRequestDatagram(std::string_view pid, std::string_view cid);

// "request=popped&pid=..&tipid=..&cid=..&sign=.." and its zero byte, from values already in the
// system's ANSI code page. Nothing when the datagram would not fit its 1024-byte buffer: a report cut
// short would carry a truncated sign, which the server could only take for a forgery.
std::optional<std::string> TipShownReportDatagram(std::string_view tipid, std::string_view pid, std::string_view cid,
                                                  std::string_view sign);

// ---- Game-platform service (framed TCP) ----

inline constexpr std::uint16_t kGamePort = 13390;
inline constexpr std::size_t kHeaderSize = 16;
// The only request this client makes carries this value in header word 2.
inline constexpr std::uint32_t kActiveGameRequest = 1;
// Larger announced bodies are refused before anything is allocated: the answer is one short item,
// and a hostile or broken server must not be able to make the host reserve gigabytes.
inline constexpr std::uint32_t kMaxReplyBody = 16u * 1024u * 1024u;

using Header = std::array<unsigned char, kHeaderSize>;

// One item: the byte length as a big-endian 32-bit number, then the bytes, no terminator.
std::string EncodeItem(std::string_view text);

// Header of a request: words 0 and 1 zero, word 2 the request value, word 3 the body length,
// the last two big-endian.
Header RequestHeader(std::uint32_t request, std::uint32_t bodyLength);

// The four items "name", name, "type", type, in one buffer of exactly 24 + N + T bytes.
std::string ActiveGameRequestBody(std::string_view name, std::string_view type);

// The body length L of a reply header; nothing for the value 0xFFFFFFFF, which servers use to say
// there is no answer.
std::optional<std::uint32_t> ReplyBodyLength(const Header& header);

// The most of an announced answer's length that is set aside before its bytes arrive; past it, room
// grows with the bytes as any string does, until the server has proved fast.
inline constexpr std::size_t kAnswerReservedUpFront = std::size_t{64} * 1024;
// A piece this long, in one receive, proves the server fast: from then on the answer gets one room of
// its whole announced length. A server that trickles never sends one, and so holds only what it sent;
// one that sends one and trickles then holds one of the few whole rooms there are (WholeRooms).
inline constexpr std::size_t kProvedFast = std::size_t{512} * 1024;

// True when a body of this length may be read at all.
constexpr bool ReplyBodyLengthAcceptable(std::uint32_t length) { return length <= kMaxReplyBody; }

// How many walks may hold a room of their answer's whole length while it fills. A server that has
// proved fast may still trickle from then on and keep its room until its idle limit, so only a few
// may hold one at once; past that, room grows with the bytes as before the proof. Shared by the
// walks of one thread.
struct WholeRooms {
    int most = 0;
    int held = 0;
};

// The walk over a reply body: the item that follows the first item equal to key (exact bytes), or the
// empty text. Every item is compared, whatever its position. The walk never reads outside the body:
// an item whose length runs past the end, or a key item with nothing complete after it, ends the walk
// with the empty text. The body may arrive in pieces of any size, so that a long reply never has to be
// held whole: only the bytes of an item of the key's length and the answer are kept.
class ReplyWalk {
public:
    // With a share, room for the answer is charged to it before it is made, and room the budget
    // refuses fails the walk. The answer taken keeps its charge; what the walk still holds goes back
    // with it.
    // A kept room of at least the bytes asked for, with its charge, or none: a warm one costs no fresh
    // pages. Asked only once the server has proved fast. Without whole, any walk may hold a whole room.
    using KeptRooms = AnswerRoom (*)(std::size_t atLeast) noexcept;
    ReplyWalk(std::string_view key, std::uint64_t bodyLength, BudgetShare* room = nullptr, KeptRooms kept = nullptr,
              WholeRooms* whole = nullptr);
    ~ReplyWalk();
    ReplyWalk(const ReplyWalk&) = delete;
    ReplyWalk& operator=(const ReplyWalk&) = delete;
    ReplyWalk(ReplyWalk&&) = delete;
    ReplyWalk& operator=(ReplyWalk&&) = delete;

    // The next bytes of the body; bytes beyond its announced length are ignored.
    void Feed(std::span<const unsigned char> bytes);
    // Where the next bytes of the body may be received straight into, since they are the answer's:
    // the free part of its room, no longer than what is left of it. Empty elsewhere in the body, and
    // while the room is full.
    std::span<unsigned char> AnswerTail() noexcept;
    // That many bytes were received into AnswerTail, and are fed so.
    void Received(std::size_t count) noexcept;
    // Looks for the answer's first zero byte in what came since the last look; done at the latest
    // when the answer is taken.
    void ScanAnswer() noexcept { answer_.Scan(); }
    // True once more bytes cannot change the answer (found, or failed).
    bool Decided() const { return phase_ == Phase::Found || phase_ == Phase::Failed; }
    // True while the next bytes of the body are the answer's.
    bool InAnswer() const { return phase_ == Phase::Answer; }
    // True once the walk cannot find an answer, whatever follows.
    bool Failed() const { return phase_ == Phase::Failed; }
    // Why it failed: no key item with an answer after it (KeyMissing), an item that runs past the
    // body's end or a key with no whole item after it (ReplyMalformed), or no room (OverBudget).
    Failure Why() const { return why_; }
    // The answer once the whole body has been fed; the empty text before, and after any failure.
    std::string TakeAnswer();
    // The same answer in its room, which carries its charge from here on; an empty room when there is
    // none, or the answer is the empty text.
    AnswerRoom TakeRoom() noexcept;

private:
    enum class Phase { ItemLength, Item, AnswerLength, Answer, Found, Failed };

    std::size_t StepOverWholeItems(std::span<const unsigned char> bytes);
    void StartLength(Phase next);
    void LengthComplete();
    void MakeRoomForAnswer(std::size_t more);
    bool MoveAnswerInto(std::size_t capacity, bool whole);
    bool MayHoldWhole() noexcept;
    void NoteWhole();
    void Found() noexcept;
    void Fail(Failure why);

    std::string key_;
    std::uint64_t unread_;  // body bytes not fed yet
    Phase phase_ = Phase::ItemLength;
    Failure why_ = Failure::KeyMissing;
    unsigned char length_[4] = {};
    std::size_t lengthHave_ = 0;
    std::size_t itemLeft_ = 0;  // bytes of the current item still to come
    std::size_t itemSeen_ = 0;  // bytes of the current item compared with the key so far
    bool itemMayBeKey_ = false;
    bool fast_ = false;  // a piece of kProvedFast or more has come
    BudgetShare* room_;
    KeptRooms kept_;
    WholeRooms* whole_;
    bool holdsWhole_ = false;  // one of whole_'s
    std::size_t charged_ = 0;  // what answer_'s room holds of the share
    AnswerRoom answer_;
};

}  // namespace orvane::wire
