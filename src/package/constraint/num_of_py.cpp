// NumOf: how many of a list of constraints hold.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

constexpr boundary::Param kNewParams[] = {{.name = "of", .stub_annotation = "Sequence[_ConstraintLike]"}};
constexpr boundary::Signature kNew{.owner = "NumOf", .name = "__new__", .params = kNewParams, .required = 1};

constexpr boundary::PropertySpec kProperties[] = {
    field_property<"of", &NumOfPayload::of>(),
};

constexpr auto kSpec = constraint_class<NumOfPayload, kNew, std::vector<Constraint>>(kProperties);

}  // namespace

boundary::ClassObject num_of_class{kSpec};
static_assert(placed<NumOfPayload>(num_of_class));

}  // namespace kelto::package::constraint
