#include "net/wire.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace orvane::wire {
namespace {

constexpr std::string_view kTipsRequestPrefix = "request=tips&pid=";
constexpr std::string_view kTipsRequestCid = "&cid=";

void AppendBigEndian(std::string& out, std::uint32_t value) {
    const char bytes[4] = {static_cast<char>((value >> 24) & 0xFFu), static_cast<char>((value >> 16) & 0xFFu),
                           static_cast<char>((value >> 8) & 0xFFu), static_cast<char>(value & 0xFFu)};
    out.append(bytes, sizeof bytes);
}

// Straight into the buffer that carries it: no item is built apart and copied again.
void AppendItem(std::string& out, std::string_view text) {
    AppendBigEndian(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

void PutBigEndian(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>((value >> 24) & 0xFFu);
    at[1] = static_cast<unsigned char>((value >> 16) & 0xFFu);
    at[2] = static_cast<unsigned char>((value >> 8) & 0xFFu);
    at[3] = static_cast<unsigned char>(value & 0xFFu);
}

// Inlined even where the module is built for size, which otherwise keeps it a call: the reply walk
// reads one length per item.
[[gnu::always_inline]] inline std::uint32_t GetBigEndian(const unsigned char* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
           std::uint32_t{at[3]};
}

}  // namespace

std::string TipsRequestDatagram(std::string_view pid, std::string_view cid) {
    std::string datagram;
    datagram.reserve(kTipsRequestPrefix.size() + pid.size() + kTipsRequestCid.size() + cid.size() + 1);
    datagram.append(kTipsRequestPrefix).append(pid).append(kTipsRequestCid).append(cid);
    datagram.push_back('\0');
    return datagram;
}

std::optional<std::string> TipShownReportDatagram(std::string_view tipid, std::string_view pid, std::string_view cid,
                                                  std::string_view sign) {
    // A zero byte inside a value would end the text where the formatting of the report stops.
    auto untilZero = [](std::string_view value) { return value.substr(0, value.find('\0')); };
    std::string datagram;
    datagram.append("request=popped&pid=").append(untilZero(pid));
    datagram.append("&tipid=").append(untilZero(tipid));
    datagram.append("&cid=").append(untilZero(cid));
    datagram.append("&sign=").append(untilZero(sign));
    datagram.push_back('\0');
    if (datagram.size() > kTipsReportCapacity) return std::nullopt;
    return datagram;
}

std::string EncodeItem(std::string_view text) {
    std::string item;
    item.reserve(4 + text.size());
    AppendItem(item, text);
    return item;
}

Header RequestHeader(std::uint32_t request, std::uint32_t bodyLength) {
    Header header{};
    PutBigEndian(header.data() + 8, request);
    PutBigEndian(header.data() + 12, bodyLength);
    return header;
}

std::string ActiveGameRequestBody(std::string_view name, std::string_view type) {
    std::string body;
    body.reserve(24 + name.size() + type.size());
    AppendItem(body, "name");
    AppendItem(body, name);
    AppendItem(body, "type");
    AppendItem(body, type);
    return body;
}

std::optional<std::uint32_t> ReplyBodyLength(const Header& header) {
    const std::uint32_t length = GetBigEndian(header.data() + 12);
    if (length == 0xFFFFFFFFu) return std::nullopt;
    return length;
}

ReplyWalk::ReplyWalk(std::string_view key, std::uint64_t bodyLength, BudgetShare* room, KeptRooms kept,
                     WholeRooms* whole)
    : key_(key), unread_(bodyLength), room_(room), kept_(kept), whole_(whole) {
    StartLength(Phase::ItemLength);
}

ReplyWalk::~ReplyWalk() {
    Found();
    if (room_ != nullptr) room_->Shrink(charged_);
}

void ReplyWalk::Fail(Failure why) {
    Found();
    phase_ = Phase::Failed;
    why_ = why;
}

// The answer is whole, so its room is no larger than what it holds.
void ReplyWalk::Found() noexcept {
    phase_ = Phase::Found;
    if (std::exchange(holdsWhole_, false)) --whole_->held;
}

bool ReplyWalk::MayHoldWhole() noexcept {
    if (!fast_) return false;
    if (holdsWhole_ || whole_ == nullptr) return true;
    if (whole_->held >= whole_->most) return false;
    ++whole_->held;
    holdsWhole_ = true;
    return true;
}

// A length field needs four more bytes of the body; where the body ends first, the walk is over: a
// clean end before an item is no key (the empty text), and a length that cannot be whole, or a key
// with no answer after it, is a body out of shape.
void ReplyWalk::StartLength(Phase next) {
    lengthHave_ = 0;
    if (unread_ >= 4) {
        phase_ = next;
    } else {
        Fail(unread_ == 0 && next == Phase::ItemLength ? Failure::KeyMissing : Failure::ReplyMalformed);
    }
}

void ReplyWalk::LengthComplete() {
    const std::size_t length = GetBigEndian(length_);
    // The item must lie wholly inside the body; unread_ already excludes the length field.
    if (length > unread_) return Fail(Failure::ReplyMalformed);
    itemLeft_ = length;
    if (phase_ == Phase::AnswerLength) {
        // A server that announces a long answer and then stalls must not hold the host to 16 MiB it
        // never sent, so room past the first piece is made as the bytes come, unless it proved fast.
        if (length == 0) return Found();
        const bool whole = length > kAnswerReservedUpFront && MayHoldWhole();
        if (!MoveAnswerInto(whole ? length : std::min<std::size_t>(length, kAnswerReservedUpFront), whole)) return;
        phase_ = Phase::Answer;
        return;
    }
    itemSeen_ = 0;
    itemMayBeKey_ = length == key_.size();
    phase_ = Phase::Item;
    if (length == 0) StartLength(itemMayBeKey_ ? Phase::AnswerLength : Phase::ItemLength);
}

// Steps over the items that lie wholly inside the piece, which is all a body of small items costs;
// an item that runs past the piece is left to the general path in Feed. Feed has already cut the
// piece to the body's announced length, so an item inside the piece is inside the body too.
std::size_t ReplyWalk::StepOverWholeItems(std::span<const unsigned char> bytes) {
    const unsigned char* const begin = bytes.data();
    const unsigned char* const end = begin + bytes.size();
    const unsigned char* item = begin;
    const std::size_t keySize = key_.size();
    std::size_t last = SIZE_MAX;  // the length of the item before; none fits a piece at the start
    while (end - item >= 4) {
        const std::size_t length = GetBigEndian(item);
        if (length > static_cast<std::size_t>(end - item) - 4) break;
        const bool isKey = length == keySize && std::memcmp(item + 4, key_.data(), keySize) == 0;
        item += 4 + length;
        if (isKey) {
            phase_ = Phase::AnswerLength;
            break;
        }
        // A body is often a list of items of one length. Hopping from each length field to the next
        // waits for every load in turn; where two items in a row had this length and it is not the
        // key's, the next eight length fields are read side by side and, where all say the same, the
        // eight are stepped over at once. None of them can be the key, and all lie inside the piece.
        if (length == last && length != keySize) {
            const std::size_t stride = 4 + length;
            while (static_cast<std::size_t>(end - item) / 8 >= stride) {
                bool same = true;
                for (std::size_t k = 0; k < 8; ++k) same &= GetBigEndian(item + k * stride) == length;
                if (!same) break;
                item += 8 * stride;
            }
        }
        last = length;
    }
    const auto stepped = static_cast<std::size_t>(item - begin);
    unread_ -= stepped;
    // Too little of the body is left for another length field: no answer can follow.
    if (stepped != 0 && unread_ < 4) {
        Fail(unread_ == 0 && phase_ == Phase::ItemLength ? Failure::KeyMissing : Failure::ReplyMalformed);
    }
    return stepped;
}

// Room doubles as the answer grows, as any string's does, but never past the announced length: the
// string's own growth would leave a 16 MiB answer in 17 MiB until the script takes it. Once the server
// has proved fast, the room is the whole length at once, so a long answer moves once, while it is short.
void ReplyWalk::MakeRoomForAnswer(std::size_t more) {
    const std::size_t needed = answer_.Size() + more;
    if (needed <= answer_.Capacity()) return;
    const std::size_t whole = answer_.Size() + itemLeft_;
    if (MayHoldWhole()) {
        (void)MoveAnswerInto(whole, true);
    } else {
        (void)MoveAnswerInto(std::min(std::max(needed, 2 * answer_.Capacity()), whole), false);
    }
}

// A fresh room is made, or a kept one taken, and what came so far moved into it. Both rooms exist for
// a moment, so both are charged until the old one is gone. A kept room brings its own charge.
bool ReplyWalk::MoveAnswerInto(std::size_t capacity, bool whole) {
    const std::size_t old = charged_;
    AnswerRoom room;
    if (whole && kept_ != nullptr && room_ != nullptr) room = kept_(capacity);
    if (room) {
        charged_ += room.Charge().Held();
        room_->Absorb(std::move(room.Charge()));
    } else {
        if (room_ != nullptr) {
            if (!room_->Grow(capacity)) {
                Fail(Failure::OverBudget);
                return false;
            }
            charged_ += capacity;
        }
        room = AnswerRoom::Make(capacity);
        if (!room) {
            Fail(Failure::NoMemory);
            return false;
        }
    }
    room.Append({reinterpret_cast<const unsigned char*>(answer_.Bytes().data()), answer_.Size()});
    answer_ = std::move(room);
    if (room_ != nullptr) {
        room_->Shrink(old);
        charged_ -= old;
    }
    return true;
}

// The answer item has come whole.
void ReplyWalk::NoteWhole() {
    if (itemLeft_ == 0) Found();
}

std::span<unsigned char> ReplyWalk::AnswerTail() noexcept {
    if (phase_ != Phase::Answer) return {};
    const std::span<unsigned char> tail = answer_.Tail();
    return tail.first(std::min(tail.size(), itemLeft_));
}

void ReplyWalk::Received(std::size_t count) noexcept {
    fast_ = fast_ || count >= kProvedFast;
    answer_.Grew(count);
    itemLeft_ -= count;
    unread_ -= count;
    NoteWhole();
}

void ReplyWalk::Feed(std::span<const unsigned char> bytes) {
    fast_ = fast_ || bytes.size() >= kProvedFast;
    if (bytes.size() > unread_) bytes = bytes.first(static_cast<std::size_t>(unread_));
    std::size_t at = 0;
    while (at < bytes.size() && !Decided()) {
        const std::size_t available = bytes.size() - at;
        // Most items lie wholly inside the piece at hand: those are stepped over in one go, since a
        // body may hold a million of them.
        if (phase_ == Phase::ItemLength && lengthHave_ == 0 && available >= 4) {
            const std::size_t stepped = StepOverWholeItems(bytes.subspan(at));
            at += stepped;
            // Nothing stepped and nothing decided: the next item runs past the piece.
            if (stepped != 0 || phase_ != Phase::ItemLength) continue;
        }
        if (phase_ == Phase::ItemLength || phase_ == Phase::AnswerLength) {
            const std::size_t take = std::min<std::size_t>(4 - lengthHave_, available);
            std::copy_n(bytes.data() + at, take, length_ + lengthHave_);
            lengthHave_ += take;
            at += take;
            unread_ -= take;
            if (lengthHave_ == 4) LengthComplete();
            continue;
        }
        const std::size_t take = std::min(itemLeft_, available);
        const auto* from = reinterpret_cast<const char*>(bytes.data() + at);
        if (phase_ == Phase::Answer) {
            MakeRoomForAnswer(take);
            if (phase_ == Phase::Failed) break;
            answer_.Append(bytes.subspan(at, take));
        } else if (itemMayBeKey_) {
            itemMayBeKey_ = std::string_view(from, take) == std::string_view(key_).substr(itemSeen_, take);
            itemSeen_ += take;
        }
        itemLeft_ -= take;
        at += take;
        unread_ -= take;
        if (itemLeft_ != 0) continue;
        if (phase_ == Phase::Answer) {
            Found();
        } else {
            StartLength(itemMayBeKey_ ? Phase::AnswerLength : Phase::ItemLength);
        }
    }
    // What is left once the answer is decided is only counted.
    unread_ -= bytes.size() - at;
}

std::string ReplyWalk::TakeAnswer() {
    if (phase_ != Phase::Found || unread_ != 0) return {};
    std::string answer(answer_.Bytes());
    charged_ = 0;  // the charge goes with the answer
    answer_ = AnswerRoom();
    return answer;
}

AnswerRoom ReplyWalk::TakeRoom() noexcept {
    if (phase_ != Phase::Found || unread_ != 0) return {};
    if (room_ != nullptr) answer_.Charge() = room_->Split(charged_);
    charged_ = 0;
    answer_.Scan();
    return std::move(answer_);
}

}  // namespace orvane::wire
