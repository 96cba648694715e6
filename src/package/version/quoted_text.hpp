// The quoted text form used by debug texts: "a\"b\u{301}".
#pragma once

#include <string>
#include <string_view>

namespace kelto::package::version {

/// Appends `text` between double quotes, escaping backslash, double quote,
/// NUL, tab, CR and LF with a backslash, and every non-printable or
/// Grapheme_Extend character as \u{hex}. Bytes that are not valid UTF-8
/// are written as \u{fffd}.
void append_quoted_text(std::string& out, std::string_view utf8);
[[nodiscard]] std::string quoted_text(std::string_view utf8);

/// True when the code point is printed as \u{...}: not printable (control,
/// format, surrogate, private use, unassigned, separators other than the
/// ASCII space) or carrying Grapheme_Extend.
[[nodiscard]] bool needs_unicode_escape(char32_t code_point) noexcept;

}  // namespace kelto::package::version
