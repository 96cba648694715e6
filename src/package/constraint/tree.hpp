// The constraint tree: the value behind every constraint object. A Constraint
// is one tagged pointer to a heap node holding its payload; the recursive
// kinds hold their children as Constraints in that node.
//
// A node never changes once built, so copies share it: copying a Constraint
// adds a reference, and the node goes with its last one. Wrapping a tree or
// reading a child out of one therefore costs the same at any size, which is
// what lets Python code build a chain a million levels deep one wrapping at a
// time. Sharing is invisible to callers, since nothing can reach into a node
// to change it; `take()` moves a payload out only when it holds the sole
// reference. The counts are atomic, so copies of one tree may live and die on
// different threads. A node can only point at nodes built before it, so
// trees have no cycles.
//
// Destruction and the text form never recurse: a chain of a million nested
// nodes is as safe as a single one.
#pragma once

#include "package/constraint/cmp_type.hpp"
#include "package/constraint/node_pool.hpp"
#include "package/text.hpp"
#include "spec/option_value.hpp"

#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <stdexcept>
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

namespace detail {
/// What every node starts with: how many Constraints point at it.
struct NodeHeader {
    std::atomic<std::size_t> refs;
};

/// A node: its header, then the payload, which stays as built while the node
/// is shared.
template <class Payload>
struct Node : NodeHeader {
    /// A node with one reference, its payload made from `args`.
    template <class... Args>
    explicit Node(Args&&... args) : NodeHeader{1}, payload{std::forward<Args>(args)...} {}

    Payload payload;
};
}  // namespace detail

/// A whole tree. Copying adds a reference to the shared root; moving moves
/// one pointer.
class Constraint {
public:
    /// A node taking over `payload` (an rvalue) or holding a copy of it.
    template <class Payload>
        requires kIsPayload<std::remove_cvref_t<Payload>>
    explicit Constraint(Payload&& payload);

    Constraint(const Constraint& other) noexcept;
    Constraint& operator=(const Constraint& other) noexcept;
    Constraint(Constraint&& other) noexcept : bits_{std::exchange(other.bits_, 0)} {}
    Constraint& operator=(Constraint&& other) noexcept;
    ~Constraint();

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(bits_ & kKindMask); }

    /// The payload of the node; the kind must match (checked in debug builds).
    template <class Payload>
    [[nodiscard]] const Payload& get() const noexcept;

    /// The payload, moved out when this is the node's only reference and
    /// copied otherwise (its children are shared, so that is cheap too); leaves
    /// this Constraint empty (only destruction and assignment remain valid on it).
    template <class Payload>
    [[nodiscard]] Payload take() &&;

    /// True for a moved-from Constraint.
    [[nodiscard]] bool empty() const noexcept { return bits_ == 0; }

private:
    friend struct TreeAccess;  // the iterative teardown in tree.cpp

    static constexpr std::uintptr_t kKindMask = 0x7;  // nodes are at least 8-aligned
    [[nodiscard]] detail::NodeHeader* header() const noexcept {
        return reinterpret_cast<detail::NodeHeader*>(bits_ & ~kKindMask);
    }
    /// Lets go of the reference in `bits`, freeing what nothing else holds.
    static void release(std::uintptr_t bits) noexcept;

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
    return static_cast<const detail::Node<Payload>*>(header())->payload;
}

template <class Payload>
    requires kIsPayload<std::remove_cvref_t<Payload>>
Constraint::Constraint(Payload&& payload) {
    using P = std::remove_cvref_t<Payload>;
    detail::NodeHeader* node = detail::make_node<detail::Node<P>>(std::forward<Payload>(payload));
    bits_ = reinterpret_cast<std::uintptr_t>(node) | static_cast<std::uintptr_t>(kKindOf<P>);
}

inline Constraint::Constraint(const Constraint& other) noexcept : bits_{other.bits_} {
    if (bits_ != 0) header()->refs.fetch_add(1, std::memory_order_relaxed);
}

inline Constraint& Constraint::operator=(const Constraint& other) noexcept {
    // The new reference is taken before the old one goes: `other` may live
    // inside the tree being let go.
    Constraint copy{other};
    return *this = std::move(copy);
}

inline Constraint& Constraint::operator=(Constraint&& other) noexcept {
    // Take the new pointer before letting go of the old tree, which may own `other`.
    if (this != &other) release(std::exchange(bits_, std::exchange(other.bits_, 0)));
    return *this;
}

inline Constraint::~Constraint() {
    if (bits_ != 0) release(bits_);
}

template <class Payload>
Payload Constraint::take() && {
    assert(!empty() && kind() == kKindOf<Payload>);
    auto* node = static_cast<detail::Node<Payload>*>(header());
    if (node->refs.load(std::memory_order_acquire) == 1) {
        // The only reference: nobody else can see the node, so its children
        // may be moved out, after which freeing it frees only the node.
        bits_ = 0;
        Payload payload(std::move(node->payload));
        detail::free_node(node);
        return payload;
    }
    Payload payload(node->payload);
    release(std::exchange(bits_, 0));
    return payload;
}

/// A copy that shares every node with `c`; the same as the copy constructor,
/// spelled as the name callers use.
[[nodiscard]] inline Constraint clone_constraint(const Constraint& c) { return c; }

/// The longest text form written. Shared nodes let a few lines of code build a
/// tree whose text would not fit in memory (each NumOf([c, c]) doubles it),
/// so the writer gives up past this size rather than exhaust the machine.
inline constexpr std::size_t kMaxTextBytes = std::size_t{1} << 30;

/// What the writer throws when a text grows past kMaxTextBytes.
class TextTooLong : public std::length_error {
public:
    TextTooLong() : std::length_error{"the text form of a constraint is longer than 1 GiB"} {}
};

/// The text form: "[ Depends( a ) ] == [ true ]", "NumOf(  )", ...
/// Throws TextTooLong once `out` passes kMaxTextBytes.
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
