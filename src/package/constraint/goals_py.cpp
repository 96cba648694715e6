// Maximize and Minimize: optimisation goals over one constraint. Alike in
// everything but their names and kinds.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

constexpr boundary::Param kNewParams[] = {{.name = "item", .stub_annotation = "_ConstraintLike"}};
constexpr boundary::Signature kMaximizeNew{
    .owner = "Maximize", .name = "__new__", .params = kNewParams, .required = 1};
constexpr boundary::Signature kMinimizeNew{
    .owner = "Minimize", .name = "__new__", .params = kNewParams, .required = 1};

constexpr boundary::PropertySpec kMaximizeProperties[] = {
    field_property<"item", &MaximizePayload::item>(),
};
constexpr boundary::PropertySpec kMinimizeProperties[] = {
    field_property<"item", &MinimizePayload::item>(),
};

constexpr auto kMaximizeSpec = constraint_class<MaximizePayload, kMaximizeNew, Constraint>(kMaximizeProperties);
constexpr auto kMinimizeSpec = constraint_class<MinimizePayload, kMinimizeNew, Constraint>(kMinimizeProperties);

}  // namespace

boundary::ClassObject maximize_class{kMaximizeSpec};
boundary::ClassObject minimize_class{kMinimizeSpec};
static_assert(placed<MaximizePayload>(maximize_class) && placed<MinimizePayload>(minimize_class));

}  // namespace kelto::package::constraint
