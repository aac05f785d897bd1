#pragma once
// UTF-8 read one code point at a time, for the lenient conversion of paths (text.cpp)
// and the strict one of certificate names (trust.cpp).
#include <cstddef>
#include <string>

namespace platform {

enum class utf8_sequence { valid, invalid, truncated };

// The sequence at the start of `in` (`size` > 0): `valid` with its code point and
// `length`; `invalid` (a bad lead or continuation byte, an overlong form, a surrogate,
// a value past U+10FFFF) with `length` 1; `truncated` when the input ends inside it.
utf8_sequence decode_utf8(const unsigned char* in, std::size_t size, char32_t& cp, std::size_t& length);

// One or two UTF-16 code units.
void append_utf16(std::u16string& out, char32_t cp);

// One to four UTF-8 bytes.
void append_utf8(std::string& out, char32_t cp);

}  // namespace platform
