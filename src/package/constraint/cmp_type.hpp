// The six comparison operators. Their numbering is ours, not the
// interpreter's: NotEqual (2) comes before Equal (3), and exactly 2 and 3 are
// the operators allowed between booleans.
#pragma once

#include <cstdint>
#include <string_view>

namespace kelto::package::constraint {

enum class CmpType : std::uint8_t { Less, LessOrEqual, NotEqual, Equal, GreaterOrEqual, Greater };

inline constexpr std::uint8_t kCmpTypeCount = 6;

/// The operator symbol: "<", "<=", "!=", "==", ">=", ">".
[[nodiscard]] std::string_view operator_text(CmpType op) noexcept;

/// The member name: "Less", ..., "Greater".
[[nodiscard]] std::string_view member_name(CmpType op) noexcept;

}  // namespace kelto::package::constraint
