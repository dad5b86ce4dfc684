// Where the first zero byte of a long answer is: what a script sees of it ends there. Answers of
// megabytes are looked through for it, and the platform's memchr looks at one byte at a time (about
// 5 ms for 16 MiB under Wine, as long as the rest of the answer's way together on i686). Kept free of
// the platform so that it is tested natively.
#pragma once

#include <cstddef>

namespace orvane {

// The offset of the first zero byte of the size bytes at bytes, or size when there is none.
std::size_t FirstZero(const unsigned char* bytes, std::size_t size) noexcept;

}  // namespace orvane
