// Byte layouts of the two network services, kept free of sockets so that they are tested and fuzzed
// natively. The sockets code in tips.cpp and game_platform.cpp only moves these bytes; a reply body is
// read by the reply parser (reply_parser.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
// Larger declared bodies are refused before anything is allocated: the answer is one short item,
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

// True when a body of this length may be read at all.
constexpr bool ReplyBodyLengthAcceptable(std::uint32_t length) { return length <= kMaxReplyBody; }

// A big-endian 32-bit number, as every length on the wire is. Inlined even where the module is built
// for size, which otherwise keeps it a call: the reply parser reads one length per item.
[[gnu::always_inline]] inline std::uint32_t GetBigEndian(const unsigned char* at) {
    return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
           std::uint32_t{at[3]};
}

}  // namespace orvane::wire
