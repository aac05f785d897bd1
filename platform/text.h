#pragma once
#include <string>

namespace platform {

// Converts a narrow string in the system code page (UTF-8 on POSIX) to UTF-16.
std::u16string narrow_to_utf16(const std::string& text);

// The reverse, for showing names to a person: what the code page cannot hold (and a lone
// surrogate) becomes a replacement character.
std::string utf16_to_narrow(const std::u16string& text);

}  // namespace platform
