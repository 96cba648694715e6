// Depends: the package depends on the package named `on`.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

constexpr boundary::Param kNewParams[] = {{.name = "name", .annotation = "str"}};
constexpr boundary::Signature kNew{.owner = "Depends", .name = "__new__", .params = kNewParams, .required = 1};

// The constructor's parameter is `name`; the property holding it is `on`.
constexpr boundary::PropertySpec kProperties[] = {
    field_property<"on", &DependsPayload::name>(),
};

constexpr auto kSpec = constraint_class<DependsPayload, kNew, std::string_view>(kProperties);

}  // namespace

boundary::ClassObject depends_class{kSpec};
static_assert(placed<DependsPayload>(depends_class));

}  // namespace kelto::package::constraint
