// The constraint classes of kelto.package.constraint, one per kind, made
// from the kinds' declarations (tree.hpp). Each
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

/// The class of each kind, in the order of the kinds, each made from its
/// kind's declaration (classes_py.cpp).
struct KindClasses {
    boundary::ClassObject of[kKindCount];
};
extern KindClasses kind_classes;

/// The class of each kind, indexed by kind.
inline constexpr std::array<boundary::ClassObject*, kKindCount> kClassOfKind = [] {
    std::array<boundary::ClassObject*, kKindCount> classes{};
    for (std::size_t kind = 0; kind < kKindCount; ++kind) classes[kind] = &kind_classes.of[kind];
    return classes;
}();

/// The class whose instances hold nodes of `kind`.
[[nodiscard]] inline boundary::ClassObject& class_of(Kind kind) noexcept {
    return kind_classes.of[static_cast<std::size_t>(kind)];
}

/// The bytes an instance of `Payload`'s class keeps after its Holder: room for
/// the payload in place, or for the owner thread of a thread-bound class.
template <class Payload>
inline constexpr std::size_t kTailBytesOf =
    std::max(kTailBytes<Payload>, kKindOf<Payload> == Kind::IfThen ? sizeof(std::uint64_t) : 0);

}  // namespace kelto::package::constraint
