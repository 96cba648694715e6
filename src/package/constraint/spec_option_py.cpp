// SpecOption names one option of one package; Value wraps one option value
// and is made only by the module, never by a constructor call.
#include "package/constraint/fields_py.hpp"
#include "package/constraint/shape_py.hpp"

namespace kelto::package::constraint {
namespace {

constexpr boundary::Param kNewParams[] = {{.name = "package_name", .annotation = "str"},
                                          {.name = "option_name", .annotation = "str"}};
constexpr boundary::Signature kNew{.owner = "SpecOption", .name = "__new__", .params = kNewParams, .required = 2};

constexpr boundary::PropertySpec kSpecOptionProperties[] = {
    field_property<"package_name", &SpecOptionPayload::package_name>(),
    field_property<"option_name", &SpecOptionPayload::option_name>(),
};

constexpr boundary::PropertySpec kValueProperties[] = {
    field_property<"value", &ValuePayload::value>(),
};

// Neither name is checked: empty texts and unknown packages are stored as given.
constexpr auto kSpecOptionSpec =
    constraint_class<SpecOptionPayload, kNew, std::string_view, std::string_view>(kSpecOptionProperties);

// No description text, so Value.__doc__ is None; no constructor, so calling
// Value(...) fails in the interpreter.
constexpr auto kValueSpec = constraint_class<ValuePayload, "Value">(kValueProperties);

}  // namespace

boundary::ClassObject spec_option_class{kSpecOptionSpec};
boundary::ClassObject value_class{kValueSpec};
static_assert(placed<SpecOptionPayload>(spec_option_class) && placed<ValuePayload>(value_class));

}  // namespace kelto::package::constraint
