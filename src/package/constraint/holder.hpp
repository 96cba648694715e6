// What a constraint object holds. A freshly built leaf (a Depends, a
// SpecOption) keeps its payload in the bytes that follow the Holder in the
// object, so building one costs one allocation: the object's. Sharing starts
// when a second holder appears: the payload then moves into a node of its own,
// which this Holder keeps pointing at, and every later holder adds a reference
// to that node, as with any other kind. Parents always hold a node.
//
// A Holder lives only where the memory after it is its own (the instance
// layout of the constraint classes makes room, kTailBytes), so it is neither
// copied nor moved.
#pragma once

#include "package/constraint/tree.hpp"

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace kelto::package::constraint {

/// True for the payloads a Holder may keep in place: the leaves.
template <class Payload>
inline constexpr bool kHeldInPlace = detail::HasWrite<Payload>;

class Holder {
public:
    /// Tags the constructor that builds a `Payload` in place.
    template <class Payload>
    struct InPlace {};

    /// Holds `node`.
    explicit Holder(Constraint node) noexcept { node_.bits_ = std::exchange(node.bits_, 0); }

    /// Builds `Payload{args...}` in the bytes after the Holder, which must
    /// have room for it (kTailBytes).
    template <class Payload, class... Args>
        requires kHeldInPlace<Payload>
    explicit Holder(InPlace<Payload>, Args&&... args) {
        static_assert(alignof(Payload) <= alignof(Holder) && sizeof(Holder) % alignof(Payload) == 0);
        ::new (tail()) Payload{std::forward<Args>(args)...};
        node_.bits_ = in_place_marker(kKindOf<Payload>);  // only once the payload exists
    }

    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    ~Holder() {
        if (!in_place()) return;  // node_ lets go of its node
        visit_kind(kind(), [&]<class Payload>() {
            if constexpr (kHeldInPlace<Payload>) std::destroy_at(in_place_payload<Payload>());
        });
        node_.bits_ = 0;
    }

    /// Ends a Holder whose kind is known to be Payload's (its object's class
    /// says so): the destructor without looking the kind up.
    template <class Payload>
    static void destroy_as(Holder& holder) noexcept {
        assert(holder.kind() == kKindOf<Payload>);
        if constexpr (kHeldInPlace<Payload>) {
            if (holder.in_place()) {
                std::destroy_at(holder.in_place_payload<Payload>());
                holder.node_.bits_ = 0;
            }
        }
        std::destroy_at(&holder);  // lets go of the node, if it holds one
    }

    [[nodiscard]] Kind kind() const noexcept {
        return in_place() ? static_cast<Kind>(node_.bits_ >> 1) : node_.kind();
    }

    /// The payload; the kind must match (checked in debug builds).
    template <class Payload>
    [[nodiscard]] const Payload& get() const noexcept {
        if constexpr (kHeldInPlace<Payload>) {
            if (in_place()) {
                assert(kind() == kKindOf<Payload>);
                return *in_place_payload<Payload>();
            }
        }
        return node_.get<Payload>();
    }

    /// The node, made now when the payload is still in place. The value held
    /// does not change, so this is a reading; but a reference to the payload
    /// taken earlier (get) does not survive it.
    [[nodiscard]] const Constraint& node() const {
        if (in_place()) [[unlikely]] move_to_node();
        return node_;
    }

    /// A new reference to the node, for a second holder.
    [[nodiscard]] Constraint share() const { return node(); }

    /// Changes the payload through `edit(Payload&)`, as Constraint::edit: a
    /// payload in place has no other holder, so it changes there.
    template <class Payload, class Edit>
    void edit(Edit&& edit) {
        if constexpr (kHeldInPlace<Payload>) {
            if (in_place()) {
                static_assert(std::is_nothrow_invocable_v<Edit, Payload&>);
                std::forward<Edit>(edit)(*in_place_payload<Payload>());
                return;
            }
        }
        node_.edit<Payload>(std::forward<Edit>(edit));
    }

    /// Raw bytes after the Holder, for an object's own use when it keeps no
    /// payload there (the owner thread of a parent).
    [[nodiscard]] std::byte* tail() noexcept { return reinterpret_cast<std::byte*>(this) + sizeof(Holder); }
    [[nodiscard]] const std::byte* tail() const noexcept {
        return reinterpret_cast<const std::byte*>(this) + sizeof(Holder);
    }

private:
    // While the payload is in place, node_ holds no node but an odd word (no
    // node address is odd) with the kind above its lowest bit.
    static constexpr std::uintptr_t in_place_marker(Kind kind) noexcept {
        return (static_cast<std::uintptr_t>(kind) << 1) | 1;
    }
    [[nodiscard]] bool in_place() const noexcept { return (node_.bits_ & 1) != 0; }

    template <class Payload>
    [[nodiscard]] Payload* in_place_payload() const noexcept {
        return std::launder(reinterpret_cast<Payload*>(const_cast<Holder*>(this)->tail()));
    }

    /// Moves the payload in place into a new node. Moving a leaf's payload
    /// does not throw; only the allocation may, and then nothing has changed.
    void move_to_node() const {
        visit_kind(kind(), [&]<class Payload>() {
            if constexpr (kHeldInPlace<Payload>) {
                Payload* payload = in_place_payload<Payload>();
                Constraint made{std::move(*payload)};
                std::destroy_at(payload);
                node_.bits_ = std::exchange(made.bits_, 0);
            }
        });
    }

    // Mutable: moving the payload into a node changes how it is kept, not
    // what this Holder holds.
    mutable Constraint node_;
};

/// The bytes a constraint object keeps after its Holder for `Payload`.
template <class Payload>
inline constexpr std::size_t kTailBytes = kHeldInPlace<Payload> ? sizeof(Payload) : 0;

}  // namespace kelto::package::constraint
