// Versions: a text such as "1.2.3-rc1+build7" split on ".", "-" and "+" into
// typed parts. Parsed, copied and printed only: versions are never ordered,
// compared or matched against their wildcards.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "package/text.hpp"

namespace kelto::package::version {

/// "*" matches one segment; ">" stands for all remaining ones, so nothing may follow it.
enum class WildcardKind : std::uint8_t { Single, Rest };

/// The character that stood between two segments.
enum class Separator : char { Dot = '.', Dash = '-', Plus = '+' };

/// One part of a version, in this kind order: Int, Str, Wildcard, Sep.
/// A Str holds one or more ASCII letters or digits and is never a u64 number.
using VersionPart = std::variant<std::uint64_t, std::string, WildcardKind, Separator>;

/// A part read in place: a Str is a view into the version's text.
using PartView = std::variant<std::uint64_t, std::string_view, WildcardKind, Separator>;

/// Why a text is not a version.
struct VersionError {
    enum class Kind : std::uint8_t { TrailingSeparator, InvalidPart, EmptyPart, PartAfterRest };
    Kind kind;
    std::string segment;  ///< the offending segment, for InvalidPart only

    friend bool operator==(const VersionError&, const VersionError&) = default;
};

/// How an accepted text is kept: as written, or rewritten without the leading
/// zeros of its Int parts ("01.002" is kept as "1.2").
enum class Spelling : bool { AsWritten, LeadingZeros };

/// Checks UTF-8 `text` in one pass without building anything: the first
/// segment that fails decides the error.
[[nodiscard]] std::expected<Spelling, VersionError> check_version(std::string_view text);

/// A parsed version, held as its plain text form and nothing else. The parts
/// are a function of that text (reading it again gives them back), so they
/// are read from it when printed instead of being stored beside it: a version
/// of up to 30 characters allocates nothing, and copying one copies a text.
/// The parts alternate value parts and separators, starting and ending with a
/// value part, and are never empty.
class Version {
public:
    /// The version of `text`, which check_version accepted with `spelling`.
    [[nodiscard]] static Version checked(std::string_view text, Spelling spelling);

    /// The plain text form: each part's text, concatenated ("01.002" is "1.2").
    [[nodiscard]] std::string_view text() const noexcept { return text_.view(); }

    /// Calls `visit(PartView)` for each part in order.
    template <class Visit>
    void for_each_part(Visit&& visit) const;

    /// The parts as owned values (for tests and checks; printing reads them in place).
    [[nodiscard]] std::vector<VersionPart> parts() const;

    friend bool operator==(const Version& a, const Version& b) noexcept { return a.text() == b.text(); }

private:
    explicit Version(Text text) noexcept : text_(std::move(text)) {}

    Text text_;  ///< an accepted text whose Int parts have no leading zeros
};

/// Parses UTF-8 `text` in one pass: check_version, then the version it accepted.
[[nodiscard]] std::expected<Version, VersionError> parse_version(std::string_view text);

/// The part that one segment of an accepted version's text stands for.
[[nodiscard]] PartView read_segment(std::string_view segment) noexcept;

template <class Visit>
void Version::for_each_part(Visit&& visit) const {
    const std::string_view text = text_.view();
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '.' && c != '-' && c != '+') continue;
        visit(read_segment(text.substr(start, i - start)));
        visit(PartView{static_cast<Separator>(c)});
        start = i + 1;
    }
    visit(read_segment(text.substr(start)));
}

/// The plain text form: each part's text, concatenated ("01.002" gives "1.2").
void append_plain_text(std::string& out, const Version& version);
[[nodiscard]] std::string plain_text(const Version& version);

/// The debug form: Version { parts: [Int(1), Sep('.'), Str("rc1")] }.
void append_debug_text(std::string& out, const Version& version);
[[nodiscard]] std::string debug_text(const Version& version);

/// The debug form of an error: "EmptyPart", InvalidPart("a_b"), ...
[[nodiscard]] std::string debug_text(const VersionError& error);

}  // namespace kelto::package::version
