// Cmp: two constraints under a comparison operator.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

using boundary::Owned;
using boundary::Result;

Result<Owned> cmp_if_then(const Holder& self, Constraint then) {
    return constraint_to_py(Constraint(IfThenPayload{self.share(), std::move(then)}));
}

constexpr boundary::Param kNewParams[] = {
    {.name = "lhs", .stub_annotation = "_ConstraintLike"}, {.name = "rhs", .stub_annotation = "_ConstraintLike"}, {.name = "op", .annotation = "CmpType"}};
constexpr boundary::Signature kNew{.owner = "Cmp", .name = "__new__", .params = kNewParams, .required = 3};

constexpr boundary::Param kIfThenParams[] = {{.name = "then", .stub_annotation = "_ConstraintLike"}};
constexpr boundary::Signature kIfThen{
    .owner = "Cmp", .name = "if_then", .params = kIfThenParams, .required = 1, .returns = "IfThen"};

constexpr boundary::MethodSpec kMethods[] = {
    boundary::method<kIfThen, &cmp_if_then,
                     "Wrap this condition in an IfThen constraint.\n\ncond.if_then(then) => If ( cond ) Then ( then )">(),
};

constexpr boundary::PropertySpec kProperties[] = {
    field_property<"lhs", &CmpPayload::lhs>(),
    field_property<"rhs", &CmpPayload::rhs>(),
    field_property<"op", &CmpPayload::op>(),
};

// The constructor builds whatever it is given: only the operators type-check.
constexpr auto kSpec = constraint_class<CmpPayload, kNew, Constraint, Constraint, CmpType>(kProperties, kMethods);

}  // namespace

boundary::ClassObject cmp_class{kSpec};
static_assert(placed<CmpPayload>(cmp_class));

}  // namespace kelto::package::constraint
