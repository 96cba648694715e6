// Option values: what a package option can hold. Plain values, copied deeply,
// never shared with Python objects.
#pragma once

#include "package/version/version.hpp"

#include <cstdint>
#include <string>
#include <variant>

namespace kelto::package::option {

/// One of five kinds, whose variant index is the kind's fixed ordinal:
/// Bool 0, Int 1, Float 2, Str 3 (UTF-8), Version 4.
using SpecOptionValue = std::variant<bool, std::int64_t, double, std::string, package::version::Version>;

enum class OptionKind : std::uint8_t { Bool, Int, Float, Str, Version };

[[nodiscard]] inline OptionKind kind_of(const SpecOptionValue& value) noexcept {
    return static_cast<OptionKind>(value.index());
}

/// The text form: "true"/"false", decimal integers, the float text below, a
/// Str's text unquoted and unescaped, a version's plain text.
void append_text(std::string& out, const SpecOptionValue& value);

/// The shortest decimal digits that read back to the same double, always in
/// positional notation: 3, 0.1, 0.0000001, 100000000000000000000, -0, NaN,
/// inf, -inf.
void append_float_text(std::string& out, double value);
[[nodiscard]] std::string float_text(double value);

}  // namespace kelto::package::option
