// What Cmp has beyond its fields: if_then.
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

using boundary::Owned;
using boundary::Result;

Result<Owned> cmp_if_then(const Holder& self, Constraint then) {
    return constraint_to_py(Constraint(IfThenPayload{self.share(), std::move(then)}));
}

constexpr boundary::Param kIfThenParams[] = {{.name = "then", .stub_annotation = "_ConstraintLike"}};
constexpr boundary::Signature kIfThen{
    .owner = "Cmp", .name = "if_then", .params = kIfThenParams, .required = 1, .returns = "IfThen"};

}  // namespace

constexpr boundary::MethodSpec cmp_methods[1] = {
    boundary::method<kIfThen, &cmp_if_then,
                     "Wrap this condition in an IfThen constraint.\n\ncond.if_then(then) => If ( cond ) Then ( then )">(),
};

}  // namespace kelto::package::constraint
