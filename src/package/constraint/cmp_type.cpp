#include "package/constraint/cmp_type.hpp"

namespace kelto::package::constraint {

std::string_view operator_text(CmpType op) noexcept {
    switch (op) {
        case CmpType::Less: return "<";
        case CmpType::LessOrEqual: return "<=";
        case CmpType::NotEqual: return "!=";
        case CmpType::Equal: return "==";
        case CmpType::GreaterOrEqual: return ">=";
        case CmpType::Greater: return ">";
    }
    // Only a value forged by a cast reaches this point.
    return "?";
}

std::string_view member_name(CmpType op) noexcept {
    switch (op) {
        case CmpType::Less: return "Less";
        case CmpType::LessOrEqual: return "LessOrEqual";
        case CmpType::NotEqual: return "NotEqual";
        case CmpType::Equal: return "Equal";
        case CmpType::GreaterOrEqual: return "GreaterOrEqual";
        case CmpType::Greater: return "Greater";
    }
    return "?";
}

}  // namespace kelto::package::constraint
