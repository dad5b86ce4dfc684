#include "net/wire.hpp"

namespace orvane::wire {
namespace {

constexpr std::string_view kTipsRequestPrefix = "request=tips&pid=";
constexpr std::string_view kTipsRequestCid = "&cid=";

void AppendBigEndian(std::string& out, std::uint32_t value) {
    out.push_back(static_cast<char>((value >> 24) & 0xFFu));
    out.push_back(static_cast<char>((value >> 16) & 0xFFu));
    out.push_back(static_cast<char>((value >> 8) & 0xFFu));
    out.push_back(static_cast<char>(value & 0xFFu));
}

void PutBigEndian(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>((value >> 24) & 0xFFu);
    at[1] = static_cast<unsigned char>((value >> 16) & 0xFFu);
    at[2] = static_cast<unsigned char>((value >> 8) & 0xFFu);
    at[3] = static_cast<unsigned char>(value & 0xFFu);
}

std::uint32_t GetBigEndian(const unsigned char* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
           std::uint32_t{at[3]};
}

// Reads the item at offset p, if it lies wholly inside the body; the offsets are compared in
// size_t, so a length near 2^32 cannot wrap the bound.
struct Item {
    std::string_view bytes;
    std::size_t next = 0;
};
std::optional<Item> ItemAt(std::span<const unsigned char> body, std::size_t p) {
    if (body.size() - p < 4) return std::nullopt;
    const std::size_t length = GetBigEndian(body.data() + p);
    const std::size_t start = p + 4;
    if (body.size() - start < length) return std::nullopt;
    return Item{std::string_view(reinterpret_cast<const char*>(body.data() + start), length), start + length};
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
    AppendBigEndian(item, static_cast<std::uint32_t>(text.size()));
    item.append(text);
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
    body.append(EncodeItem("name")).append(EncodeItem(name)).append(EncodeItem("type")).append(EncodeItem(type));
    return body;
}

std::optional<std::uint32_t> ReplyBodyLength(const Header& header) {
    const std::uint32_t length = GetBigEndian(header.data() + 12);
    if (length == 0xFFFFFFFFu) return std::nullopt;
    return length;
}

std::string FindValueAfterKey(std::string_view key, std::span<const unsigned char> body) {
    std::size_t p = 0;
    while (p < body.size()) {
        const std::optional<Item> item = ItemAt(body, p);
        if (!item) return {};
        if (item->bytes == key) {
            const std::optional<Item> value = ItemAt(body, item->next);
            return value ? std::string(value->bytes) : std::string();
        }
        p = item->next;
    }
    return {};
}

}  // namespace orvane::wire
