#include "package/constraint/refusal.hpp"

namespace kelto::package::constraint {

std::string value_type_description(std::optional<ValueType> type) {
    if (!type) return "None";
    std::string out{"Some("};
    out.append(value_type_name(*type));
    out.push_back(')');
    return out;
}

std::string refusal_text(const Constraint& lhs, const Constraint& rhs, CmpType op, const CmpRefusal& refusal) {
    std::string message{"Cannot compare type "};
    message.append(value_type_description(refusal.lhs_type));
    message.append(" from constraint ");
    append_constraint_text(message, lhs);
    message.append(" with type ");
    message.append(value_type_description(refusal.rhs_type));
    message.append(" from constraint ");
    append_constraint_text(message, rhs);
    message.append(" using operator '");
    message.append(operator_text(op));
    message.push_back('\'');
    return message;
}

}  // namespace kelto::package::constraint
