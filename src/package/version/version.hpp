// Versions: a text such as "1.2.3-rc1+build7" split on ".", "-" and "+" into
// typed parts. Parsed, copied and printed only: versions are never ordered,
// compared or matched against their wildcards.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kelto::package::version {

/// "*" matches one segment; ">" stands for all remaining ones, so nothing may follow it.
enum class WildcardKind : std::uint8_t { Single, Rest };

/// The character that stood between two segments.
enum class Separator : char { Dot = '.', Dash = '-', Plus = '+' };

/// One part of a version, in this kind order: Int, Str, Wildcard, Sep.
/// A Str holds one or more ASCII letters or digits and is never a u64 number.
using VersionPart = std::variant<std::uint64_t, std::string, WildcardKind, Separator>;

/// A parsed version. The parser's output is never empty and alternates value
/// parts and separators, starting and ending with a value part.
struct Version {
    std::vector<VersionPart> parts;

    friend bool operator==(const Version&, const Version&) = default;  // for tests only
};

/// Why a text is not a version.
struct VersionError {
    enum class Kind : std::uint8_t { TrailingSeparator, InvalidPart, EmptyPart, PartAfterRest };
    Kind kind;
    std::string segment;  ///< the offending segment, for InvalidPart only

    friend bool operator==(const VersionError&, const VersionError&) = default;
};

/// Parses UTF-8 `text` in one pass. Int parts allocate nothing.
[[nodiscard]] std::expected<Version, VersionError> parse_version(std::string_view text);

/// The plain text form: each part's text, concatenated ("01.002" gives "1.2").
void append_plain_text(std::string& out, const Version& version);
[[nodiscard]] std::string plain_text(const Version& version);

/// The debug form: Version { parts: [Int(1), Sep('.'), Str("rc1")] }.
void append_debug_text(std::string& out, const Version& version);
[[nodiscard]] std::string debug_text(const Version& version);

/// The debug form of an error: "EmptyPart", InvalidPart("a_b"), ...
[[nodiscard]] std::string debug_text(const VersionError& error);

}  // namespace kelto::package::version
