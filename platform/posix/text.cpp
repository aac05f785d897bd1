#include "platform/text.h"

#include "platform/posix/utf8.h"

namespace platform {

utf8_sequence decode_utf8(const unsigned char* in, std::size_t size, char32_t& cp, std::size_t& length)
{
    const unsigned char lead = in[0];
    std::size_t extra = 0;
    length = 1;
    if (lead < 0x80) {
        cp = lead;
        return utf8_sequence::valid;
    }
    if ((lead & 0xE0) == 0xC0) {
        cp = lead & 0x1F;
        extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
        cp = lead & 0x0F;
        extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
        cp = lead & 0x07;
        extra = 3;
    } else {
        return utf8_sequence::invalid;
    }
    if (size - 1 < extra)
        return utf8_sequence::truncated;
    for (std::size_t k = 1; k <= extra; ++k) {
        if ((in[k] & 0xC0) != 0x80)
            return utf8_sequence::invalid;
        cp = (cp << 6) | (in[k] & 0x3F);
    }
    static const char32_t minimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return utf8_sequence::invalid;
    length = extra + 1;
    return utf8_sequence::valid;
}

void append_utf16(std::u16string& out, char32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (cp >> 10));
        out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
        out += static_cast<char16_t>(cp);
    }
}

void append_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf16_to_narrow(const std::u16string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        append_utf8(out, c);
    }
    return out;
}

// The POSIX system code page is UTF-8. Bytes that are not valid UTF-8 become U+FFFD,
// which names no file, so a mangled path can only fail the later checks.
std::u16string narrow_to_utf16(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        std::size_t length = 0;
        const utf8_sequence sequence = decode_utf8(bytes + i, text.size() - i, cp, length);
        if (sequence == utf8_sequence::truncated) {
            out += u'\uFFFD';
            break;
        }
        append_utf16(out, sequence == utf8_sequence::valid ? cp : char32_t{0xFFFD});
        i += length;
    }
    return out;
}

}  // namespace platform
