// Short ways to build constraint trees in tests.
#pragma once

#include "package/constraint/tree.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelto::package::constraint::test {

inline Constraint depends(std::string name) { return Constraint{DependsPayload{std::move(name)}}; }
inline Constraint value(option::SpecOptionValue v) { return Constraint{ValuePayload{std::move(v)}}; }
inline Constraint option(std::string package, std::string name) {
    return Constraint{SpecOptionPayload{std::move(package), std::move(name)}};
}
inline Constraint cmp(Constraint lhs, Constraint rhs, CmpType op) {
    return Constraint{CmpPayload{std::move(lhs), std::move(rhs), op}};
}
inline Constraint if_then(Constraint cond, Constraint then) {
    return Constraint{IfThenPayload{std::move(cond), std::move(then)}};
}
inline Constraint maximize(Constraint item) { return Constraint{MaximizePayload{std::move(item)}}; }
inline Constraint minimize(Constraint item) { return Constraint{MinimizePayload{std::move(item)}}; }
template <class... Items>
Constraint num_of(Items... items) {
    std::vector<Constraint> of;
    (of.push_back(std::move(items)), ...);
    return Constraint{NumOfPayload{std::move(of)}};
}

/// `piece` written `n` times.
inline std::string repeat(std::string_view piece, std::size_t n) {
    std::string out;
    out.reserve(piece.size() * n);
    for (std::size_t i = 0; i < n; ++i) out.append(piece);
    return out;
}

}  // namespace kelto::package::constraint::test
