#include "package/constraint/refusal.hpp"

#include <string_view>

namespace kelto::package::constraint {
namespace {

constexpr std::string_view value_type_name(ValueType type) noexcept {
    switch (type) {
        case ValueType::Unknown: return "Unknown";
        case ValueType::Bool: return "Bool";
        case ValueType::Int: return "Int";
        case ValueType::Float: return "Float";
        case ValueType::Str: return "Str";
        case ValueType::Version: return "Version";
    }
    return "?";
}

}  // namespace

std::string value_type_description(std::optional<ValueType> type) {
    if (!type) return "None";
    std::string out{"Some("};
    out.append(value_type_name(*type));
    out.push_back(')');
    return out;
}

std::string refusal_text(const Constraint& lhs, const Constraint& rhs, CmpType op, const CmpRefusal& refusal) {
    const std::string lhs_type = value_type_description(refusal.lhs_type);
    const std::string rhs_type = value_type_description(refusal.rhs_type);
    constexpr std::string_view kPieces[] = {"Cannot compare type ", " from constraint ", " with type ",
                                            " from constraint ", " using operator '", "'"};
    std::size_t fixed = lhs_type.size() + rhs_type.size() + operator_text(op).size();
    for (const std::string_view piece : kPieces) fixed += piece.size();
    // Both sides are measured before either is written: a message past the
    // limit is refused without taking its memory.
    const auto lhs_size = constraint_text_size(lhs, kMaxTextBytes);
    const auto rhs_size = lhs_size ? constraint_text_size(rhs, kMaxTextBytes - *lhs_size) : std::nullopt;
    if (!rhs_size || fixed > kMaxTextBytes - *lhs_size - *rhs_size) throw TextTooLong{};

    std::string message;
    message.reserve(fixed + *lhs_size + *rhs_size);
    message.append(kPieces[0]).append(lhs_type).append(kPieces[1]);
    append_constraint_text(message, lhs);
    message.append(kPieces[2]).append(rhs_type).append(kPieces[3]);
    append_constraint_text(message, rhs);
    message.append(kPieces[4]).append(operator_text(op)).append(kPieces[5]);
    return message;
}

}  // namespace kelto::package::constraint
