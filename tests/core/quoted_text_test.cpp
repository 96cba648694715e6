#include "package/version/quoted_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "package/version/unicode_tables.hpp"

namespace kelto::package::version {
namespace {

using namespace std::string_view_literals;

struct QuotedCase {
    std::string_view text;
    std::string_view quoted;
};

void PrintTo(const QuotedCase& c, std::ostream* os) { *os << quoted_text(c.text); }

class QuotedText : public testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedText, EscapesAsExpected) {
    const QuotedCase& c = GetParam();
    EXPECT_EQ(quoted_text(c.text), c.quoted);
    std::string out = "prefix";
    append_quoted_text(out, c.text);
    EXPECT_EQ(out, "prefix" + std::string{c.quoted});
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, QuotedText,
    testing::Values(
        QuotedCase{"", R"("")"}, QuotedCase{"abc 1.2", R"("abc 1.2")"}, QuotedCase{"~ !", R"("~ !")"},
        QuotedCase{"a\\b", R"("a\\b")"}, QuotedCase{"a\"b", R"("a\"b")"}, QuotedCase{"it's", R"("it's")"},
        QuotedCase{"\0"sv, R"("\0")"}, QuotedCase{"\t\r\n", R"("\t\r\n")"},
        // Other controls, including DEL, use the code point in lowercase hex.
        QuotedCase{"\x01", R"("\u{1}")"}, QuotedCase{"\x1f", R"("\u{1f}")"}, QuotedCase{"\x7f", R"("\u{7f}")"},
        QuotedCase{"\x0b\x0c", R"("\u{b}\u{c}")"},
        QuotedCase{"\u0080", R"("\u{80}")"}, QuotedCase{"\u009f", R"("\u{9f}")"},
        // Grapheme_Extend, even after a base character it would combine with.
        QuotedCase{"e\u0301", R"("e\u{301}")"}, QuotedCase{"\u200d", R"("\u{200d}")"},
        QuotedCase{"a\u00a0b", R"("a\u{a0}b")"},   // Zs
        QuotedCase{"\u3000", R"("\u{3000}")"},      // Zs beyond Latin-1
        QuotedCase{"\u2028\u2029", R"("\u{2028}\u{2029}")"},  // Zl, Zp
        QuotedCase{"\u200b", R"("\u{200b}")"},      // Cf
        QuotedCase{"\u00ad", R"("\u{ad}")"},        // Cf
        QuotedCase{"\u0378", R"("\u{378}")"},       // unassigned
        QuotedCase{"\U0010ffff", R"("\u{10ffff}")"},  // unassigned, the last code point
        QuotedCase{"\ue000", R"("\u{e000}")"},      // private use
        QuotedCase{"\U000f0000", R"("\u{f0000}")"},  // private use, listed as a First/Last range
        // Printable non-ASCII is copied as it is.
        QuotedCase{"é中", R"("é中")"}, QuotedCase{"\U0001f600", "\"\U0001f600\""},
        QuotedCase{"\u4e00\u9fff\uac00", "\"\u4e00\u9fff\uac00\""},  // inside First/Last ranges
        QuotedCase{"\ufffd", "\"\ufffd\""},
        // Ill-formed UTF-8: one U+FFFD per maximal subpart.
        QuotedCase{"\xff", R"("\u{fffd}")"}, QuotedCase{"a\xff" "b", R"("a\u{fffd}b")"},
        QuotedCase{"\xc3", R"("\u{fffd}")"}, QuotedCase{"\xc3(", R"("\u{fffd}(")"},
        QuotedCase{"\xe2\x82", R"("\u{fffd}")"}, QuotedCase{"\xf0\x9f\x98", R"("\u{fffd}")"},
        QuotedCase{"\xf0\x9f\x98" "a", R"("\u{fffd}a")"},
        QuotedCase{"\x80\xbf", R"("\u{fffd}\u{fffd}")"},             // stray continuation bytes
        QuotedCase{"\xc0\x80", R"("\u{fffd}\u{fffd}")"},             // overlong NUL
        QuotedCase{"\xe0\x80\x80", R"("\u{fffd}\u{fffd}\u{fffd}")"},  // overlong
        QuotedCase{"\xed\xa0\x80", R"("\u{fffd}\u{fffd}\u{fffd}")"},  // encoded surrogate
        QuotedCase{"\xf4\x90\x80\x80", R"("\u{fffd}\u{fffd}\u{fffd}\u{fffd}")"},  // past U+10FFFF
        QuotedCase{"\xf5\x80", R"("\u{fffd}\u{fffd}")"},
        QuotedCase{"\xed\x9f\xbb", "\"\ud7fb\""}, QuotedCase{"\xf4\x8f\xbf\xbe", R"("\u{10fffe}")"}));

struct CodePointCase {
    char32_t code_point;
    bool escaped;
};

void PrintTo(const CodePointCase& c, std::ostream* os) {
    *os << "U+" << std::hex << std::uppercase << static_cast<std::uint32_t>(c.code_point);
}

class NeedsUnicodeEscape : public testing::TestWithParam<CodePointCase> {};

TEST_P(NeedsUnicodeEscape, MatchesTheCharacterDatabase) {
    EXPECT_EQ(needs_unicode_escape(GetParam().code_point), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, NeedsUnicodeEscape,
    testing::Values(CodePointCase{0x00, true}, CodePointCase{0x1F, true}, CodePointCase{0x20, false},
                    CodePointCase{0x7E, false}, CodePointCase{0x7F, true}, CodePointCase{0xA0, true},
                    CodePointCase{0xA1, false}, CodePointCase{0x2FF, false}, CodePointCase{0x300, true},
                    CodePointCase{0x36F, true}, CodePointCase{0x370, false}, CodePointCase{0xD800, true},
                    CodePointCase{0xDFFF, true}, CodePointCase{0xE000, true}, CodePointCase{0xF8FF, true},
                    CodePointCase{0xF900, false}, CodePointCase{0x4E00, false}, CodePointCase{0xFFFE, true},
                    CodePointCase{0xFFFF, true}, CodePointCase{0x1F600, false}, CodePointCase{0xE0100, true},
                    CodePointCase{0x10FFFF, true}, CodePointCase{0x110000, true},
                    CodePointCase{0xFFFFFFFF, true}));

TEST(UnicodeTables, RangesAreSortedDisjointAndMerged) {
    ASSERT_FALSE(unicode::kEscapeRanges.empty());
    EXPECT_FALSE(unicode::kUnicodeVersion.empty());
    char32_t previous_last = 0;
    bool first = true;
    for (const unicode::CodePointRange& range : unicode::kEscapeRanges) {
        EXPECT_LE(range.first, range.last);
        EXPECT_LE(range.last, char32_t{0x10FFFF});
        // A gap of at least one code point: adjacent ranges would have been merged.
        if (!first) {
            EXPECT_GT(range.first, previous_last + 1) << std::hex << static_cast<std::uint32_t>(range.first);
        }
        previous_last = range.last;
        first = false;
    }
}

}  // namespace
}  // namespace kelto::package::version
