// NumOf: how many of a list of constraints hold.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

using boundary::Owned;
using boundary::Result;

Result<Owned> num_of_new(PyTypeObject* cls, std::vector<Constraint> of) {
    return boundary::new_instance(cls, NumOfPayload{std::move(of)});
}

constexpr boundary::Param kNewParams[] = {{.name = "of", .stub_annotation = "Sequence[_ConstraintLike]"}};
constexpr boundary::Signature kNew{.owner = "NumOf", .name = "__new__", .params = kNewParams, .required = 1};

constexpr boundary::PropertySpec kProperties[] = {
    field_property<"of", &NumOfPayload::of>("typing.Any"),
};

constexpr auto kSpec = stub_comparisons(
    constraint_class<NumOfPayload>("NumOf", "builtins.NumOf", "NumOf(of)\n--\n\n",
                                   boundary::constructor<kNew, &num_of_new>(), kProperties),
    "int | NumOf | Value", true);

}  // namespace

boundary::ClassObject num_of_class{kSpec};

}  // namespace kelto::package::constraint
