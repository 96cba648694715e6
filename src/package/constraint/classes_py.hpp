// The constraint classes of kelto.package.constraint, one per kind. Each instance holds
// a handle to one shared node of its class's kind, so handing an object to
// another or reading a field back costs the same at any size; IfThen
// instances also belong to the thread that made them.
#pragma once

#include "boundary/instance.hpp"
#include "boundary/type.hpp"
#include "package/constraint/tree.hpp"

#include <array>

template <>
struct kelto::boundary::ThreadAffinity<kelto::package::constraint::Constraint> {
    static constexpr bool kBound = true;
    static bool bound(const package::constraint::Constraint& node) noexcept {
        return node.kind() == package::constraint::Kind::IfThen;
    }
    static std::string_view type_path(const package::constraint::Constraint&) noexcept {
        return "kelto::package::constraint::if_then::IfThen";
    }
};

namespace kelto::package::constraint {

extern boundary::ClassObject cmp_class;
extern boundary::ClassObject depends_class;
extern boundary::ClassObject if_then_class;
extern boundary::ClassObject maximize_class;
extern boundary::ClassObject minimize_class;
extern boundary::ClassObject num_of_class;
extern boundary::ClassObject spec_option_class;
extern boundary::ClassObject value_class;

/// The class of each kind, indexed by kind. Each class's file checks its own
/// place with `placed`.
inline constexpr std::array<boundary::ClassObject*, kKindCount> kClassOfKind = {
    &cmp_class,    &depends_class, &if_then_class,     &maximize_class,
    &minimize_class, &num_of_class, &spec_option_class, &value_class,
};

/// The class whose instances hold nodes of `kind`.
[[nodiscard]] inline boundary::ClassObject& class_of(Kind kind) noexcept {
    return *kClassOfKind[static_cast<std::size_t>(kind)];
}

/// True when `cls` stands at the place of `Payload`'s kind in kClassOfKind.
template <class Payload>
consteval bool placed(const boundary::ClassObject& cls) {
    return kClassOfKind[static_cast<std::size_t>(kKindOf<Payload>)] == &cls;
}

}  // namespace kelto::package::constraint
