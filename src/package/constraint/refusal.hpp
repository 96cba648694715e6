// The words of a refused comparison. The type check (check_cmp) only says
// which value types it saw; the message is written here, with no Python: the
// shell only raises it as NotImplementedError.
#pragma once

#include "package/constraint/tree.hpp"

#include <optional>
#include <string>

namespace kelto::package::constraint {

/// "Some(Int)", or "None" for no type.
[[nodiscard]] std::string value_type_description(std::optional<ValueType> type);

/// "Cannot compare type Some(Bool) from constraint Depends( a ) with type
/// Some(Int) from constraint 2 using operator '<'". Throws TextTooLong, before
/// building anything, when the message would pass kMaxTextBytes.
[[nodiscard]] std::string refusal_text(const Constraint& lhs, const Constraint& rhs, CmpType op,
                                       const CmpRefusal& refusal);

}  // namespace kelto::package::constraint
