#include "net/reply_parser.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "net/wire.hpp"

namespace orvane::wire {

ReplyParser::ReplyParser(std::string_view key, std::uint64_t bodyLength, AnswerSink& sink)
    : key_(key), unread_(bodyLength), sink_(&sink) {
    StartLength(Phase::ItemLength);
}

// More bytes cannot change the answer from here on, and the sink is told so.
void ReplyParser::Decide(Phase outcome) noexcept {
    phase_ = outcome;
    sink_->Decided();
}

void ReplyParser::Fail(Failure why) noexcept {
    why_ = why;
    Decide(Phase::Failed);
}

// A length field needs four more bytes of the body; where the body ends first, the parse is over: a
// clean end before an item is no key (the empty text), and a length that cannot be whole, or a key
// with no answer after it, is a body out of shape.
void ReplyParser::StartLength(Phase next) {
    lengthHave_ = 0;
    if (unread_ >= 4) {
        phase_ = next;
    } else {
        Fail(unread_ == 0 && next == Phase::ItemLength ? Failure::KeyMissing : Failure::ReplyMalformed);
    }
}

void ReplyParser::LengthComplete() {
    const std::size_t length = GetBigEndian(length_);
    // The item must lie wholly inside the body; unread_ already excludes the length field.
    if (length > unread_) return Fail(Failure::ReplyMalformed);
    itemLeft_ = length;
    if (phase_ == Phase::AnswerLength) {
        if (length == 0) return Decide(Phase::Found);
        if (const std::optional<Failure> refused = sink_->Open(length)) return Fail(*refused);
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
// piece to the body's declared length, so an item inside the piece is inside the body too.
std::size_t ReplyParser::StepOverWholeItems(std::span<const unsigned char> bytes) {
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

std::span<unsigned char> ReplyParser::AnswerTail() noexcept {
    if (phase_ != Phase::Answer) return {};
    const std::span<unsigned char> tail = sink_->Tail();
    return tail.first(std::min(tail.size(), itemLeft_));
}

void ReplyParser::Received(std::size_t count) noexcept {
    sink_->ReceivedIntoTail(count);
    itemLeft_ -= count;
    unread_ -= count;
    // The answer item has come whole.
    if (itemLeft_ == 0) Decide(Phase::Found);
}

void ReplyParser::Feed(std::span<const unsigned char> bytes) {
    sink_->PieceCame(bytes.size());
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
            if (const std::optional<Failure> refused = sink_->Append(bytes.subspan(at, take))) {
                Fail(*refused);
                break;
            }
        } else if (itemMayBeKey_) {
            itemMayBeKey_ = std::string_view(from, take) == key_.substr(itemSeen_, take);
            itemSeen_ += take;
        }
        itemLeft_ -= take;
        at += take;
        unread_ -= take;
        if (itemLeft_ != 0) continue;
        if (phase_ == Phase::Answer) {
            Decide(Phase::Found);
        } else {
            StartLength(itemMayBeKey_ ? Phase::AnswerLength : Phase::ItemLength);
        }
    }
    // What is left once the answer is decided is only counted.
    unread_ -= bytes.size() - at;
}

std::string ReplyParser::TakeAnswer() {
    if (!Answered()) return {};
    return sink_->TakeText();
}

AnswerBuffer ReplyParser::TakeBuffer() noexcept {
    if (!Answered()) return {};
    return sink_->TakeBuffer();
}

}  // namespace orvane::wire
