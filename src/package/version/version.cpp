#include "package/version/version.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "package/version/quoted_text.hpp"

namespace kelto::package::version {

namespace {

// Enough for the 20 decimal digits of the largest u64.
constexpr std::size_t kMaxIntDigits = std::numeric_limits<std::uint64_t>::digits10 + 1;
constexpr std::string_view kMaxIntText = "18446744073709551615";
static_assert(kMaxIntText.size() == kMaxIntDigits);

// What one byte can be, as bits: a segment is alphanumeric (or all digits)
// when the AND of its bytes' classes keeps that bit.
enum CharClass : std::uint8_t { kSeparator = 1, kAlphanumeric = 2, kDigit = 4 };
constexpr unsigned kFreshSegment = kAlphanumeric | kDigit;

constexpr std::array<std::uint8_t, 256> kCharClasses = [] {
    std::array<std::uint8_t, 256> classes{};
    for (char c = '0'; c <= '9'; ++c) classes[static_cast<unsigned char>(c)] = kAlphanumeric | kDigit;
    for (char c = 'a'; c <= 'z'; ++c) classes[static_cast<unsigned char>(c)] = kAlphanumeric;
    for (char c = 'A'; c <= 'Z'; ++c) classes[static_cast<unsigned char>(c)] = kAlphanumeric;
    for (const char c : {'.', '-', '+'}) classes[static_cast<unsigned char>(c)] = kSeparator;
    return classes;
}();

constexpr unsigned char_class(char c) noexcept { return kCharClasses[static_cast<unsigned char>(c)]; }

/// The segments of one text, judged one at a time in order; the first that
/// fails decides the error.
class SegmentJudge {
public:
    /// Why `segment`, whose bytes' classes AND to `shape`, is refused, if it is.
    std::optional<VersionError::Kind> judge(std::string_view segment, unsigned shape) noexcept {
        using Kind = VersionError::Kind;
        // A segment after ">" is refused before anything else, even an empty one,
        // so ">.." reports PartAfterRest rather than EmptyPart.
        if (rest_seen_) return Kind::PartAfterRest;
        if (segment.empty()) return Kind::EmptyPart;
        if (shape & kAlphanumeric) {
            // Digits only, or a digit run too large for u64 (a Str): either is
            // kept; a leading zero means the kept text needs rewriting.
            if ((shape & kDigit) && segment.front() == '0' && segment.size() > 1) leading_zeros_ = true;
            return std::nullopt;
        }
        if (segment.size() == 1 && segment.front() == '*') return std::nullopt;
        if (segment.size() == 1 && segment.front() == '>') {
            rest_seen_ = true;
            return std::nullopt;
        }
        return Kind::InvalidPart;
    }

    [[nodiscard]] bool leading_zeros() const noexcept { return leading_zeros_; }

private:
    bool rest_seen_ = false;
    bool leading_zeros_ = false;
};

[[gnu::cold, gnu::noinline]] VersionError refusal(VersionError::Kind kind, std::string_view segment) {
    if (kind == VersionError::Kind::InvalidPart) return VersionError{kind, std::string{segment}};
    return VersionError{kind, {}};
}

/// A digits-only segment as its Int's text: without leading zeros, unless its
/// value is too large for u64 and so it stays a Str as written.
std::string_view int_text(std::string_view digits) noexcept {
    const std::size_t first = digits.find_first_not_of('0');
    if (first == std::string_view::npos) return digits.substr(digits.size() - 1);  // "000" is 0
    const std::string_view significant = digits.substr(first);
    const bool fits = significant.size() < kMaxIntDigits ||
                      (significant.size() == kMaxIntDigits && significant <= kMaxIntText);
    return fits ? significant : digits;
}

/// An accepted text with each Int part written without its leading zeros.
[[gnu::cold, gnu::noinline]] std::string without_leading_zeros(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    const auto append_segment = [&](std::string_view segment) {
        const bool digits_only = !segment.empty() && std::ranges::all_of(segment, [](char c) {
            return (char_class(c) & kDigit) != 0;
        });
        out.append(digits_only ? int_text(segment) : segment);
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((char_class(text[i]) & kSeparator) == 0) continue;
        append_segment(text.substr(start, i - start));
        out.push_back(text[i]);
        start = i + 1;
    }
    append_segment(text.substr(start));
    return out;
}

void append_decimal(std::string& out, std::uint64_t value) {
    char digits[kMaxIntDigits];
    out.append(digits, std::to_chars(digits, digits + kMaxIntDigits, value).ptr);
}

std::string_view wildcard_name(WildcardKind kind) noexcept {
    return kind == WildcardKind::Single ? "Single" : "Rest";
}

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

}  // namespace

std::expected<Spelling, VersionError> check_version(std::string_view text) {
    SegmentJudge judge;
    std::size_t segment_start = 0;
    unsigned shape = kFreshSegment;
    // Bytes, not code points: the separators are ASCII, and UTF-8 never
    // encodes part of a longer character with an ASCII byte.
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned byte_class = char_class(text[i]);
        if ((byte_class & kSeparator) == 0) {
            shape &= byte_class;
            continue;
        }
        const std::string_view segment = text.substr(segment_start, i - segment_start);
        if (const auto refused = judge.judge(segment, shape)) [[unlikely]]
            return std::unexpected(refusal(*refused, segment));
        segment_start = i + 1;
        shape = kFreshSegment;
    }
    // Tested before the last segment is judged: "1.>." is a trailing
    // separator, not a part after ">".
    if (segment_start == text.size()) [[unlikely]]
        return std::unexpected(refusal(VersionError::Kind::TrailingSeparator, {}));
    const std::string_view last = text.substr(segment_start);
    if (const auto refused = judge.judge(last, shape)) [[unlikely]] return std::unexpected(refusal(*refused, last));
    return judge.leading_zeros() ? Spelling::LeadingZeros : Spelling::AsWritten;
}

Version Version::checked(std::string_view text, Spelling spelling) {
    if (spelling == Spelling::LeadingZeros) [[unlikely]] return Version{Text{without_leading_zeros(text)}};
    return Version{Text{text}};
}

std::expected<Version, VersionError> parse_version(std::string_view text) {
    auto spelling = check_version(text);
    if (!spelling) return std::unexpected(std::move(spelling).error());
    return Version::checked(text, *spelling);
}

PartView read_segment(std::string_view segment) noexcept {
    if (segment.size() == 1 && segment.front() == '*') return WildcardKind::Single;
    if (segment.size() == 1 && segment.front() == '>') return WildcardKind::Rest;
    // A kept segment has no sign and no leading zero unless it is a Str, so
    // a full, in-range read is exactly an Int part.
    std::uint64_t value = 0;
    const char* end = segment.data() + segment.size();
    const auto [stop, error] = std::from_chars(segment.data(), end, value);
    if (error == std::errc{} && stop == end) return value;
    return segment;
}

std::vector<VersionPart> Version::parts() const {
    std::vector<VersionPart> parts;
    for_each_part([&](const PartView& part) {
        std::visit(Overloaded{
                       [&](std::string_view text) { parts.emplace_back(std::in_place_type<std::string>, text); },
                       [&](auto value) { parts.emplace_back(value); },
                   },
                   part);
    });
    return parts;
}

void append_plain_text(std::string& out, const Version& version) { out.append(version.text()); }

std::string plain_text(const Version& version) { return std::string{version.text()}; }

void append_debug_text(std::string& out, const Version& version) {
    out.append("Version { parts: [");
    bool first = true;
    version.for_each_part([&](const PartView& part) {
        if (!first) out.append(", ");
        first = false;
        std::visit(Overloaded{
                       [&](std::uint64_t value) {
                           out.append("Int(");
                           append_decimal(out, value);
                       },
                       [&](std::string_view text) {
                           out.append("Str(");
                           append_quoted_text(out, text);
                       },
                       [&](WildcardKind kind) {
                           out.append("Wildcard(");
                           out.append(wildcard_name(kind));
                       },
                       [&](Separator separator) {
                           out.append("Sep('");
                           out.push_back(static_cast<char>(separator));
                           out.push_back('\'');
                       },
                   },
                   part);
        out.push_back(')');
    });
    out.append("] }");
}

std::string debug_text(const Version& version) {
    std::string out;
    append_debug_text(out, version);
    return out;
}

std::string debug_text(const VersionError& error) {
    switch (error.kind) {
        case VersionError::Kind::TrailingSeparator: return "TrailingSeparator";
        case VersionError::Kind::EmptyPart: return "EmptyPart";
        case VersionError::Kind::PartAfterRest: return "PartAfterRest";
        case VersionError::Kind::InvalidPart: {
            std::string out{"InvalidPart("};
            append_quoted_text(out, error.segment);
            out.push_back(')');
            return out;
        }
    }
    // Only a kind value forged by a cast reaches this point.
    return "VersionError(" + std::to_string(static_cast<unsigned>(error.kind)) + ")";
}

}  // namespace kelto::package::version
