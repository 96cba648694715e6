// Feeds arbitrary bytes to the version parser and checks the shape of what it
// returns, then feeds the same bytes to the quoted text form.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "package/version/quoted_text.hpp"
#include "package/version/version.hpp"

namespace {

using kelto::package::version::Separator;
using kelto::package::version::Version;
using kelto::package::version::VersionError;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "version_fuzz: %s\n", what);
    std::abort();
}

void check_version(const Version& version) {
    const auto parts = version.parts();
    check(parts.size() % 2 == 1, "an accepted version has an odd number of parts");
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool is_separator = std::holds_alternative<Separator>(parts[i]);
        check(is_separator == (i % 2 == 1), "value parts and separators alternate");
    }
    const std::string plain = kelto::package::version::plain_text(version);
    const auto again = kelto::package::version::parse_version(plain);
    check(again.has_value(), "the plain text form parses again");
    check(again->parts() == parts, "the plain text form parses to the same parts");
    check(*again == version, "the plain text form is kept as it was parsed");
    (void)kelto::package::version::debug_text(version);
}

void check_error(const VersionError& error, std::string_view input) {
    using Kind = VersionError::Kind;
    switch (error.kind) {
        case Kind::InvalidPart:
            check(!error.segment.empty(), "InvalidPart carries its segment");
            check(input.find(error.segment) != std::string_view::npos, "InvalidPart's segment is from the input");
            break;
        case Kind::TrailingSeparator:
        case Kind::EmptyPart:
        case Kind::PartAfterRest:
            check(error.segment.empty(), "only InvalidPart carries a segment");
            break;
        default:
            check(false, "the error is one of the four kinds");
    }
    (void)kelto::package::version::debug_text(error);
}

void check_quoted(std::string_view input) {
    const std::string quoted = kelto::package::version::quoted_text(input);
    check(quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"', "quoted text is in double quotes");
    for (const char c : quoted) {
        const auto byte = static_cast<unsigned char>(c);
        check(byte >= 0x20 && byte != 0x7F, "quoted text holds no raw control byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input{reinterpret_cast<const char*>(data), size};
    const auto parsed = kelto::package::version::parse_version(input);
    if (parsed) {
        check_version(*parsed);
    } else {
        check_error(parsed.error(), input);
    }
    check_quoted(input);
    return 0;
}
