// Building the module tree: the add rule (which also keeps __all__), the
// submodule rule (which registers the dotted path in sys.modules), classes
// and built-in functions.
#pragma once

#include "boundary/type.hpp"

#include <string_view>

namespace kelto::boundary {

/// An empty module whose __name__ is `short_name`.
[[nodiscard]] Result<Owned> create_module(const char* short_name);

/// Appends `name` to module.__all__ (created when missing) and sets the attribute.
[[nodiscard]] Result<void> add(Borrowed module, std::string_view name, Borrowed value);

/// Adds the class under its bare name, creating the class object if needed.
[[nodiscard]] Result<void> add_class(Borrowed module, ClassObject& cls);

/// Adds `child` under its own __name__ and stores it in sys.modules[key].
[[nodiscard]] Result<void> add_submodule(Borrowed parent, Borrowed child, const char* key);

/// Stores `module` in sys.modules[key], where imports and unpicklers find it,
/// without making it an attribute of any other module.
[[nodiscard]] Result<void> register_module(Borrowed module, const char* key);

/// Adds a built-in function bound to `module`; `def` must live forever.
[[nodiscard]] Result<void> add_function(Borrowed module, PyMethodDef& def);

}  // namespace kelto::boundary
