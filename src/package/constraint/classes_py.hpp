// The constraint classes of kelto.package.constraint, one per kind. Each
// instance holds one node of its class's kind (a fresh leaf keeps its payload
// in the object until it is shared: holder.hpp), so handing an object to
// another or reading a field back costs the same at any size; IfThen instances
// also belong to the thread that made them, which they keep after their Holder.
#pragma once

#include "boundary/instance.hpp"
#include "boundary/type.hpp"
#include "package/constraint/holder.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

template <>
struct kelto::boundary::ThreadAffinity<kelto::package::constraint::Holder> {
    using Holder = package::constraint::Holder;
    static constexpr bool kBound = true;
    static bool bound(const Holder& held) noexcept { return held.kind() == package::constraint::Kind::IfThen; }
    static std::string_view type_path(const Holder&) noexcept {
        return "kelto::package::constraint::if_then::IfThen";
    }
    // An IfThen holds a node, never a payload in place, so the bytes after
    // its Holder are free for the owner (kTailBytesOf makes room).
    static std::uint64_t owner(const Holder& held) noexcept {
        std::uint64_t id;
        std::memcpy(&id, held.tail(), sizeof id);
        return id;
    }
    static void set_owner(Holder& held, std::uint64_t id) noexcept { std::memcpy(held.tail(), &id, sizeof id); }
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

/// The bytes an instance of `Payload`'s class keeps after its Holder: room for
/// the payload in place, or for the owner thread of a thread-bound class.
template <class Payload>
inline constexpr std::size_t kTailBytesOf =
    std::max(kTailBytes<Payload>, kKindOf<Payload> == Kind::IfThen ? sizeof(std::uint64_t) : 0);

/// True when `cls` stands at the place of `Payload`'s kind in kClassOfKind.
template <class Payload>
consteval bool placed(const boundary::ClassObject& cls) {
    return kClassOfKind[static_cast<std::size_t>(kKindOf<Payload>)] == &cls;
}

}  // namespace kelto::package::constraint
