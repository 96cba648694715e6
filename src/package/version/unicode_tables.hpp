// Unicode tables behind the quoted text form, generated at build time by
// tools/gen_unicode_tables.py from the build machine's Unicode Character Database.
#pragma once

#include <span>
#include <string_view>

namespace kelto::package::unicode {

/// A closed range of code points, first <= last.
struct CodePointRange {
    char32_t first;
    char32_t last;
};

/// Code points written as \u{...}: sorted, disjoint and non-adjacent ranges.
extern const std::span<const CodePointRange> kEscapeRanges;

/// The Unicode version the tables were generated from, e.g. "17.0.0".
extern const std::string_view kUnicodeVersion;

}  // namespace kelto::package::unicode
