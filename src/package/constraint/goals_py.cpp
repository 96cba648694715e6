// Maximize and Minimize: optimisation goals over one constraint. Alike in
// everything but their names and kinds.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

using boundary::Owned;
using boundary::Result;

template <class Payload>
Result<Owned> goal_new(PyTypeObject* cls, Constraint item) {
    return boundary::new_instance(cls, Payload{std::move(item)});
}

constexpr boundary::Param kNewParams[] = {{.name = "item", .stub_annotation = "_ConstraintLike"}};
constexpr boundary::Signature kMaximizeNew{
    .owner = "Maximize", .name = "__new__", .params = kNewParams, .required = 1};
constexpr boundary::Signature kMinimizeNew{
    .owner = "Minimize", .name = "__new__", .params = kNewParams, .required = 1};

constexpr boundary::PropertySpec kMaximizeProperties[] = {
    field_property<"item", &MaximizePayload::item>("typing.Any"),
};
constexpr boundary::PropertySpec kMinimizeProperties[] = {
    field_property<"item", &MinimizePayload::item>("typing.Any"),
};

constexpr auto kMaximizeSpec = constraint_class<MaximizePayload>(
    "Maximize", "builtins.Maximize", "Maximize(item)\n--\n\n",
    boundary::constructor<kMaximizeNew, &goal_new<MaximizePayload>>(), kMaximizeProperties);
constexpr auto kMinimizeSpec = constraint_class<MinimizePayload>(
    "Minimize", "builtins.Minimize", "Minimize(item)\n--\n\n",
    boundary::constructor<kMinimizeNew, &goal_new<MinimizePayload>>(), kMinimizeProperties);

}  // namespace

boundary::ClassObject maximize_class{kMaximizeSpec};
boundary::ClassObject minimize_class{kMinimizeSpec};

}  // namespace kelto::package::constraint
