#pragma once
#include <string>

namespace platform {

// Converts a narrow string in the system code page (UTF-8 on POSIX) to UTF-16.
std::u16string narrow_to_utf16(const std::string& text);

}  // namespace platform
