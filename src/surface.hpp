// Everything kelto shows Python, as one list: the submodules of
// kelto.package with their classes, and the root module's functions. The
// module body builds the module from it; the build generates the
// introspection records and the type stubs from it.
#pragma once

#include "boundary/args.hpp"
#include "boundary/type.hpp"

#include <span>

namespace kelto {

/// A submodule of kelto.package and its classes, in the order they are added.
struct Submodule {
    const char* name;  ///< its __name__: "constraint"
    const char* key;   ///< its sys.modules key: "kelto.package.constraint"
    std::span<boundary::ClassObject* const> classes;
};

/// A function of the root module.
struct ModuleFunction {
    PyMethodDef* def;
    const boundary::Signature* signature;
};

struct ModuleSurface {
    std::span<const Submodule> submodules;
    std::span<const ModuleFunction> functions;
};

[[nodiscard]] const ModuleSurface& module_surface() noexcept;

}  // namespace kelto
