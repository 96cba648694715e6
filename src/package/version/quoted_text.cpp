#include "package/version/quoted_text.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "package/version/unicode_tables.hpp"

namespace kelto::package::version {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr char32_t kMaxCodePoint = 0x10FFFF;

/// Printable ASCII that is written as it is: everything from space to '~'
/// except the two characters that need a backslash.
constexpr bool is_plain_ascii(unsigned char byte) noexcept {
    return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
}

constexpr bool is_continuation(unsigned char byte) noexcept { return (byte & 0xC0U) == 0x80U; }

/// One decoded character: its code point and the number of bytes it took.
/// Ill-formed input decodes to U+FFFD over its maximal subpart (the longest
/// prefix that could still have begun a valid sequence), and at least one byte.
struct Decoded {
    char32_t code_point;
    std::size_t length;
    bool valid;
};

Decoded decode_utf8(std::string_view text, std::size_t at) noexcept {
    const auto byte_at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte_at(at);
    std::size_t length = 0;
    char32_t code_point = 0;
    // The second byte's range is narrower after some leads: that is what
    // rules out overlong forms (E0, F0), surrogates (ED) and values past
    // U+10FFFF (F4).
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0FU;
        if (lead == 0xE0) second_low = 0xA0;
        if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07U;
        if (lead == 0xF0) second_low = 0x90;
        if (lead == 0xF4) second_high = 0x8F;
    } else {
        return {kReplacementCharacter, 1, false};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (at + i >= text.size()) return {kReplacementCharacter, i, false};
        const unsigned char byte = byte_at(at + i);
        const bool in_range = i == 1 ? byte >= second_low && byte <= second_high : is_continuation(byte);
        if (!in_range) return {kReplacementCharacter, i, false};
        code_point = (code_point << 6) | (byte & 0x3FU);
    }
    return {code_point, length, true};
}

void append_unicode_escape(std::string& out, char32_t code_point) {
    // "\u{" + at most six hex digits + "}".
    char buffer[10] = {'\\', 'u', '{'};
    char* end = std::to_chars(buffer + 3, buffer + sizeof buffer, static_cast<std::uint32_t>(code_point), 16).ptr;
    *end++ = '}';
    out.append(buffer, end);
}

/// Appends one ASCII byte that is not plain: a backslash escape or \u{..}.
void append_ascii_escape(std::string& out, unsigned char byte) {
    switch (byte) {
        case '\\': out.append("\\\\"); return;
        case '"': out.append("\\\""); return;
        case '\0': out.append("\\0"); return;
        case '\t': out.append("\\t"); return;
        case '\r': out.append("\\r"); return;
        case '\n': out.append("\\n"); return;
        default: append_unicode_escape(out, byte); return;
    }
}

}  // namespace

bool needs_unicode_escape(char32_t code_point) noexcept {
    if (code_point < 0x80) return code_point < 0x20 || code_point == 0x7F;
    if (code_point > kMaxCodePoint) return true;
    const auto ranges = unicode::kEscapeRanges;
    // The first range starting after the code point; the one before it is the
    // only one that can contain it.
    const auto after = std::upper_bound(ranges.begin(), ranges.end(), code_point,
                                        [](char32_t cp, const unicode::CodePointRange& range) {
                                            return cp < range.first;
                                        });
    return after != ranges.begin() && code_point <= std::prev(after)->last;
}

void append_quoted_text(std::string& out, std::string_view utf8) {
    out.push_back('"');
    std::size_t i = 0;
    while (i < utf8.size()) {
        // Most texts are plain ASCII: copy each run of it in one append.
        std::size_t run_end = i;
        while (run_end < utf8.size() && is_plain_ascii(static_cast<unsigned char>(utf8[run_end]))) ++run_end;
        out.append(utf8, i, run_end - i);
        i = run_end;
        if (i == utf8.size()) break;

        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            append_ascii_escape(out, byte);
            ++i;
            continue;
        }
        const Decoded decoded = decode_utf8(utf8, i);
        if (!decoded.valid || needs_unicode_escape(decoded.code_point)) {
            append_unicode_escape(out, decoded.code_point);
        } else {
            out.append(utf8, i, decoded.length);
        }
        i += decoded.length;
    }
    out.push_back('"');
}

std::string quoted_text(std::string_view utf8) {
    std::string out;
    // Two quotes around a text that usually needs no escape.
    out.reserve(utf8.size() + 2);
    append_quoted_text(out, utf8);
    return out;
}

}  // namespace kelto::package::version
