// IfThen: if `cond` holds then `then` holds. Its instances belong to the
// thread that made them.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

constexpr boundary::Param kNewParams[] = {{.name = "cond", .stub_annotation = "_ConstraintLike"}, {.name = "then", .stub_annotation = "_ConstraintLike"}};
constexpr boundary::Signature kNew{.owner = "IfThen", .name = "__new__", .params = kNewParams, .required = 2};

constexpr boundary::PropertySpec kProperties[] = {
    field_property<"cond", &IfThenPayload::cond>(),
    field_property<"then", &IfThenPayload::then>(),
};

constexpr auto kSpec = constraint_class<IfThenPayload, kNew, Constraint, Constraint>(kProperties);

}  // namespace

boundary::ClassObject if_then_class{kSpec};
static_assert(placed<IfThenPayload>(if_then_class));

}  // namespace kelto::package::constraint
