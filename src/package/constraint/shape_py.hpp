// The shape the eight constraint classes share: type name "builtins.<Name>",
// no subclassing, no dict or weakrefs, the shared rich comparison (which
// also makes instances unhashable), and their own constructor and properties.
#pragma once

#include "boundary/type.hpp"
#include "package/constraint/operators_py.hpp"

#include <span>

namespace kelto::package::constraint {

template <class Payload>
consteval boundary::ClassSpec constraint_class(std::string_view name, const char* qualified_name,
                                               const char* doc, boundary::ConstructorSpec constructor,
                                               std::span<const boundary::PropertySpec> properties,
                                               std::span<const boundary::MethodSpec> methods = {}) {
    return {
        .name = name,
        .qualified_name = qualified_name,
        .doc = doc,
        .basic_size = static_cast<int>(sizeof(boundary::Instance<Payload>)),
        .dealloc = &boundary::dealloc<Payload>,
        .constructor = constructor,
        .richcompare = &rich_compare<Payload>,
        .unhashable = true,
        .methods = methods,
        .properties = properties,
    };
}

}  // namespace kelto::package::constraint
