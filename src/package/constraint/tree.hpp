// The constraint tree: the value behind every constraint object. A Constraint
// is one tagged pointer to a heap node that owns its payload outright; the
// recursive kinds hold their children by value in that node. Nothing is ever
// shared, so trees have no cycles and need no reference counts.
//
// Copy, destruction and the text form never recurse: a chain of a million
// nested nodes is as safe as a single one.
#pragma once

#include "package/constraint/cmp_type.hpp"
#include "package/constraint/node_pool.hpp"
#include "package/text.hpp"
#include "spec/option_value.hpp"

#include <cassert>
#include <cstdint>
#include <expected>
#include <optional>
#include <type_traits>
#include <utility>
#include <string>
#include <vector>

namespace kelto::package::constraint {

/// The eight kinds, in their fixed order.
enum class Kind : std::uint8_t { Cmp, Depends, IfThen, Maximize, Minimize, NumOf, SpecOption, Value };

struct CmpPayload;
struct DependsPayload;
struct IfThenPayload;
struct MaximizePayload;
struct MinimizePayload;
struct NumOfPayload;
struct SpecOptionPayload;
struct ValuePayload;

/// True for the eight payload types.
template <class T>
inline constexpr bool kIsPayload =
    std::is_same_v<T, CmpPayload> || std::is_same_v<T, DependsPayload> || std::is_same_v<T, IfThenPayload> ||
    std::is_same_v<T, MaximizePayload> || std::is_same_v<T, MinimizePayload> || std::is_same_v<T, NumOfPayload> ||
    std::is_same_v<T, SpecOptionPayload> || std::is_same_v<T, ValuePayload>;

/// A whole tree, owned. Copying copies every node; moving moves one pointer.
class Constraint {
public:
    /// A node taking over `payload` (an rvalue) or holding a copy of it.
    template <class Payload>
        requires kIsPayload<std::remove_cvref_t<Payload>>
    explicit Constraint(Payload&& payload);

    Constraint(const Constraint& other);
    Constraint& operator=(const Constraint& other);
    Constraint(Constraint&& other) noexcept : bits_{std::exchange(other.bits_, 0)} {}
    Constraint& operator=(Constraint&& other) noexcept;
    ~Constraint();

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(bits_ & kKindMask); }

    /// The payload of the node; the kind must match (checked in debug builds).
    template <class Payload>
    [[nodiscard]] const Payload& get() const noexcept;

    /// Moves the payload out and leaves this Constraint empty (only
    /// destruction and assignment remain valid on it).
    template <class Payload>
    [[nodiscard]] Payload take() &&;

    /// True for a moved-from Constraint.
    [[nodiscard]] bool empty() const noexcept { return bits_ == 0; }

private:
    friend struct TreeAccess;  // the iterative copy and teardown in tree.cpp
    Constraint() noexcept = default;  // empty; only the iterative algorithms make these

    static constexpr std::uintptr_t kKindMask = 0x7;  // nodes are at least 8-aligned
    [[nodiscard]] void* node() const noexcept { return reinterpret_cast<void*>(bits_ & ~kKindMask); }

    std::uintptr_t bits_ = 0;
};

struct CmpPayload {
    Constraint lhs;
    Constraint rhs;
    CmpType op;
};

struct DependsPayload {
    Text name;
};

struct IfThenPayload {
    Constraint cond;
    Constraint then;
};

struct MaximizePayload {
    Constraint item;
};

struct MinimizePayload {
    Constraint item;
};

struct NumOfPayload {
    std::vector<Constraint> of;
};

struct SpecOptionPayload {
    Text package_name;
    Text option_name;
};

struct ValuePayload {
    spec::SpecOptionValue value;
};

namespace detail {
template <class>
inline constexpr bool kAlwaysFalse = false;

template <class Payload>
consteval Kind no_kind_for() {
    static_assert(kAlwaysFalse<Payload>, "not a constraint payload type");
    return Kind::Cmp;
}
}  // namespace detail

/// The kind whose node holds each payload type; any other type fails to compile.
template <class Payload>
inline constexpr Kind kKindOf = detail::no_kind_for<Payload>();
template <> inline constexpr Kind kKindOf<CmpPayload> = Kind::Cmp;
template <> inline constexpr Kind kKindOf<DependsPayload> = Kind::Depends;
template <> inline constexpr Kind kKindOf<IfThenPayload> = Kind::IfThen;
template <> inline constexpr Kind kKindOf<MaximizePayload> = Kind::Maximize;
template <> inline constexpr Kind kKindOf<MinimizePayload> = Kind::Minimize;
template <> inline constexpr Kind kKindOf<NumOfPayload> = Kind::NumOf;
template <> inline constexpr Kind kKindOf<SpecOptionPayload> = Kind::SpecOption;
template <> inline constexpr Kind kKindOf<ValuePayload> = Kind::Value;

template <class Payload>
const Payload& Constraint::get() const noexcept {
    assert(!empty() && kind() == kKindOf<Payload>);
    return *static_cast<const Payload*>(node());
}

template <class Payload>
    requires kIsPayload<std::remove_cvref_t<Payload>>
Constraint::Constraint(Payload&& payload) {
    using P = std::remove_cvref_t<Payload>;
    bits_ = reinterpret_cast<std::uintptr_t>(detail::make_node<P>(std::forward<Payload>(payload))) |
            static_cast<std::uintptr_t>(kKindOf<P>);
}

template <class Payload>
Payload Constraint::take() && {
    assert(!empty() && kind() == kKindOf<Payload>);
    auto* node = static_cast<Payload*>(this->node());
    bits_ = 0;
    // The node's children are moved out, so deleting it frees only the node.
    Payload payload(std::move(*node));
    detail::free_node(node);
    return payload;
}

/// Deep copy; the same as the copy constructor, spelled as the name callers use.
[[nodiscard]] inline Constraint clone_constraint(const Constraint& c) { return c; }

/// The text form: "[ Depends( a ) ] == [ true ]", "NumOf(  )", ...
void append_constraint_text(std::string& out, const Constraint& c);
[[nodiscard]] std::string constraint_text(const Constraint& c);

/// The comparison type of a constraint, by its own kind only.
enum class ValueType : std::uint8_t { Unknown, Bool, Int, Float, Str, Version };

/// Cmp, Depends: Bool; NumOf: Int; SpecOption: Unknown; Value: by its option
/// kind; IfThen, Maximize, Minimize: none.
[[nodiscard]] std::optional<ValueType> value_type_of(const Constraint& c) noexcept;

/// "Some(Int)", or "None" for no type.
[[nodiscard]] std::string value_type_description(std::optional<ValueType> type);

/// A comparison that was refused, with its complete message ("Cannot compare
/// type Some(Bool) from constraint Depends( a ) with type ... using operator '<'").
struct CmpRefusal {
    std::string message;
};

/// The refusal of comparing `lhs` with `rhs` under `op`, or nothing when the
/// comparison is well typed (the check behind typed_cmp, for callers that
/// build the Cmp payload elsewhere).
[[nodiscard]] std::optional<CmpRefusal> check_cmp(const Constraint& lhs, const Constraint& rhs, CmpType op);

/// Builds the Cmp of `lhs` and `rhs` under `op` when both sides have the same
/// value type (and booleans meet only under == and !=); consumes both sides.
[[nodiscard]] std::expected<Constraint, CmpRefusal> typed_cmp(Constraint lhs, Constraint rhs, CmpType op);

}  // namespace kelto::package::constraint
