#include "net/wire.hpp"

#include <cstdint>

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

}  // namespace orvane::wire
