#include "package/constraint/tree.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

namespace kelto::package::constraint {

// The kind lives in the low three bits of the node pointer.
static_assert(sizeof(Constraint) == sizeof(void*));
static_assert(alignof(detail::NodeHeader) >= 8);

/// The node-level operations behind Constraint. Every walk over a tree keeps
/// its pending work on the heap, so the C stack stays flat however deep the
/// tree is.
struct TreeAccess {
    static Kind kind(std::uintptr_t bits) noexcept { return static_cast<Kind>(bits & Constraint::kKindMask); }

    static detail::NodeHeader* header(std::uintptr_t bits) noexcept {
        return reinterpret_cast<detail::NodeHeader*>(bits & ~Constraint::kKindMask);
    }

    template <class Payload>
    static detail::Node<Payload>* node(std::uintptr_t bits) noexcept {
        return static_cast<detail::Node<Payload>*>(header(bits));
    }

    static std::uintptr_t release(Constraint& c) noexcept { return std::exchange(c.bits_, 0); }

    /// Drops one reference; true when it was the last, so the node is the
    /// caller's to free.
    static bool drop_reference(std::uintptr_t bits) noexcept {
        if (header(bits)->refs.fetch_sub(1, std::memory_order_release) != 1) return false;
        // Whatever other threads did to the node before letting go of it
        // happens before it is freed here.
        std::atomic_thread_fence(std::memory_order_acquire);
        return true;
    }

    static void destroy(std::uintptr_t dead) noexcept;
};

namespace {

using Access = TreeAccess;

/// A stack that keeps its first `N` entries inline: the walks below run on
/// every comparison and property read, mostly over trees a few nodes deep,
/// and should not allocate for them.
template <class T, std::size_t N>
class SmallStack {
public:
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    void push_back(const T& value) {
        if (size_ < N) inline_[size_] = value;
        else if (size_ - N < overflow_.size()) overflow_[size_ - N] = value;
        else overflow_.push_back(value);
        ++size_;
    }
    [[nodiscard]] T& back() noexcept { return size_ <= N ? inline_[size_ - 1] : overflow_[size_ - 1 - N]; }
    void pop_back() noexcept { --size_; }

private:
    std::array<T, N> inline_;  // left uninitialised: only entries below size_ are read
    std::vector<T> overflow_;
    std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// Teardown

/// What is left to free: single subtrees, and lists taken whole from NumOf
/// nodes, consumed from the back. Keeping a list whole costs one entry per
/// NumOf instead of one per element.
class Teardown {
public:
    void push(Constraint& c) {
        if (const std::uintptr_t bits = Access::release(c)) singles_.push_back(bits);
    }
    void push_list(std::vector<Constraint>&& list) {
        if (!list.empty()) lists_.push_back(std::move(list));
    }
    /// The next subtree to free, or 0 when nothing is left.
    std::uintptr_t pop() noexcept {
        if (!singles_.empty()) {
            const std::uintptr_t bits = singles_.back();
            singles_.pop_back();
            return bits;
        }
        while (!lists_.empty()) {
            std::vector<Constraint>& list = lists_.back();
            if (list.empty()) {
                lists_.pop_back();
                continue;
            }
            const std::uintptr_t bits = Access::release(list.back());
            list.pop_back();  // now empty: its destructor does nothing
            if (bits != 0) return bits;
        }
        return 0;
    }

private:
    SmallStack<std::uintptr_t, 32> singles_;
    std::vector<std::vector<Constraint>> lists_;
};

/// Lists up to this length are unpacked onto the stack of single subtrees,
/// which needs no allocation; longer ones are kept whole.
constexpr std::size_t kUnpackedList = 16;

/// Frees a node whose children are the payload members `First` and `Rest...`:
/// the rest go on `pending`, and `First` is returned to be dropped next.
template <class Payload, auto First, auto... Rest>
std::uintptr_t free_linked(std::uintptr_t bits, Teardown& pending, detail::NodePools& pools) {
    auto* node = Access::node<Payload>(bits);
    (pending.push(node->payload.*Rest), ...);
    const std::uintptr_t next = Access::release(node->payload.*First);
    detail::free_node_in(pools, node);
    return next;
}

/// Frees the node of `bits`, whose last reference is gone, once its children
/// have been handed over; returns the child whose reference to drop next (0
/// for none), so that chains need no stack at all.
std::uintptr_t free_node(std::uintptr_t bits, Teardown& pending, detail::NodePools& pools) {
    switch (Access::kind(bits)) {
        case Kind::Cmp: return free_linked<CmpPayload, &CmpPayload::lhs, &CmpPayload::rhs>(bits, pending, pools);
        case Kind::IfThen:
            return free_linked<IfThenPayload, &IfThenPayload::cond, &IfThenPayload::then>(bits, pending, pools);
        case Kind::Maximize: return free_linked<MaximizePayload, &MaximizePayload::item>(bits, pending, pools);
        case Kind::Minimize: return free_linked<MinimizePayload, &MinimizePayload::item>(bits, pending, pools);
        case Kind::NumOf: {
            auto* node = Access::node<NumOfPayload>(bits);
            auto& payload = node->payload;
            if (payload.of.size() <= kUnpackedList) {
                for (Constraint& item : payload.of) pending.push(item);
            } else {
                pending.push_list(std::move(payload.of));  // one entry, however long
            }
            detail::free_node_in(pools, node);
            return 0;
        }
        case Kind::Depends: detail::free_node_in(pools, Access::node<DependsPayload>(bits)); return 0;
        case Kind::SpecOption: detail::free_node_in(pools, Access::node<SpecOptionPayload>(bits)); return 0;
        case Kind::Value: detail::free_node_in(pools, Access::node<ValuePayload>(bits)); return 0;
    }
    return 0;
}

/// The next node to free: `child` or else one of the pending references,
/// the first whose reference dropped here was the last; 0 when none is left.
std::uintptr_t next_dead(std::uintptr_t child, Teardown& pending) noexcept {
    for (;;) {
        if (child == 0 && (child = pending.pop()) == 0) return 0;
        if (Access::drop_reference(child)) return child;
        child = 0;  // still shared: what lies below it stays
    }
}

// ---------------------------------------------------------------------------
// Text form

/// A node whose opening text is written and whose children from `next` on
/// are still to be written, followed by its closing text.
struct TextFrame {
    const Constraint* node;
    std::size_t next;
};

std::size_t child_count(const Constraint& c) noexcept {
    switch (c.kind()) {
        case Kind::Cmp:
        case Kind::IfThen: return 2;
        case Kind::Maximize:
        case Kind::Minimize: return 1;
        case Kind::NumOf: return c.get<NumOfPayload>().of.size();
        case Kind::Depends:
        case Kind::SpecOption:
        case Kind::Value: return 0;
    }
    return 0;
}

const Constraint& child(const Constraint& c, std::size_t i) noexcept {
    switch (c.kind()) {
        case Kind::Cmp: return i == 0 ? c.get<CmpPayload>().lhs : c.get<CmpPayload>().rhs;
        case Kind::IfThen: return i == 0 ? c.get<IfThenPayload>().cond : c.get<IfThenPayload>().then;
        case Kind::Maximize: return c.get<MaximizePayload>().item;
        case Kind::Minimize: return c.get<MinimizePayload>().item;
        default: return c.get<NumOfPayload>().of[i];
    }
}

/// Writes a leaf whole, or a parent's opening text; returns whether the node
/// has children to write (always together with a closing text).
bool write_open(std::string& out, const Constraint& c) {
    switch (c.kind()) {
        case Kind::Cmp: out.append("[ "); return true;
        case Kind::IfThen: out.append("If( "); return true;
        case Kind::Maximize: out.append("Maximize( "); return true;
        case Kind::Minimize: out.append("Minimize( "); return true;
        case Kind::NumOf: out.append("NumOf( "); return true;
        case Kind::Depends:
            out.append("Depends( ");
            out.append(c.get<DependsPayload>().name);
            out.append(" )");
            return false;
        case Kind::SpecOption: {
            const auto& payload = c.get<SpecOptionPayload>();
            out.append("Package '");
            out.append(payload.package_name);
            out.append("' -> Option '");
            out.append(payload.option_name);
            out.push_back('\'');
            return false;
        }
        case Kind::Value: spec::append_text(out, c.get<ValuePayload>().value); return false;
    }
    return false;
}

/// What stands before child `i` (> 0) of a parent.
void write_separator(std::string& out, const Constraint& c) {
    switch (c.kind()) {
        case Kind::Cmp:
            out.append(" ] ");
            out.append(operator_text(c.get<CmpPayload>().op));
            out.append(" [ ");
            return;
        case Kind::IfThen: out.append(" ) Then [ "); return;
        default: out.append(", "); return;  // NumOf, the only other kind with a second child
    }
}

std::string_view closing_text(Kind kind) noexcept {
    return kind == Kind::Cmp || kind == Kind::IfThen ? " ]" : " )";
}

// ---------------------------------------------------------------------------
// Type check

constexpr std::string_view value_type_name(ValueType type) noexcept {
    switch (type) {
        case ValueType::Unknown: return "Unknown";
        case ValueType::Bool: return "Bool";
        case ValueType::Int: return "Int";
        case ValueType::Float: return "Float";
        case ValueType::Str: return "Str";
        case ValueType::Version: return "Version";
    }
    return "?";
}

[[gnu::cold, gnu::noinline]] CmpRefusal refusal(const Constraint& lhs, std::optional<ValueType> lhs_type,
                                                const Constraint& rhs, std::optional<ValueType> rhs_type,
                                                CmpType op) {
    std::string message{"Cannot compare type "};
    message.append(value_type_description(lhs_type));
    message.append(" from constraint ");
    append_constraint_text(message, lhs);
    message.append(" with type ");
    message.append(value_type_description(rhs_type));
    message.append(" from constraint ");
    append_constraint_text(message, rhs);
    message.append(" using operator '");
    message.append(operator_text(op));
    message.push_back('\'');
    return CmpRefusal{std::move(message)};
}

}  // namespace

// ---------------------------------------------------------------------------
// TreeAccess

void TreeAccess::destroy(std::uintptr_t dead) noexcept {
    // The implicit destructors would recurse once per level and overflow the C
    // stack on a deep tree. Each node here is stripped of its children before
    // it is freed, so every free releases one node only. (Growing the pending
    // stack can only fail when memory is exhausted, which ends the process.)
    Teardown pending;
    detail::NodePools& pools = detail::NodePools::local();
    for (std::uintptr_t bits = dead; bits != 0;) bits = next_dead(free_node(bits, pending, pools), pending);
}

// ---------------------------------------------------------------------------
// Constraint

void Constraint::release(std::uintptr_t bits) noexcept {
    // Most references let go of are not a node's last, and need no walk.
    if (bits != 0 && TreeAccess::drop_reference(bits)) TreeAccess::destroy(bits);
}

// ---------------------------------------------------------------------------
// Text form

void append_constraint_text(std::string& out, const Constraint& c) {
    // Depth-first with an explicit stack of the parents still open.
    SmallStack<TextFrame, 32> open;
    const Constraint* next = &c;
    for (;;) {
        if (next != nullptr) {
            if (write_open(out, *next)) {
                open.push_back({next, 0});
            }
            next = nullptr;
        }
        if (open.empty()) return;
        if (out.size() > kMaxTextBytes) throw TextTooLong{};
        TextFrame& frame = open.back();
        if (frame.next < child_count(*frame.node)) {
            if (frame.next > 0) write_separator(out, *frame.node);
            next = &child(*frame.node, frame.next++);
        } else {
            out.append(closing_text(frame.node->kind()));
            open.pop_back();
        }
    }
}

std::string constraint_text(const Constraint& c) {
    std::string out;
    append_constraint_text(out, c);
    return out;
}

// ---------------------------------------------------------------------------
// Type check

std::optional<ValueType> value_type_of(const Constraint& c) noexcept {
    switch (c.kind()) {
        case Kind::Cmp:
        case Kind::Depends: return ValueType::Bool;
        case Kind::NumOf: return ValueType::Int;
        case Kind::SpecOption: return ValueType::Unknown;
        case Kind::Value: {
            // Option kinds Bool..Version map onto value types Bool..Version.
            static_assert(static_cast<int>(ValueType::Bool) == static_cast<int>(spec::OptionKind::Bool) + 1 &&
                          static_cast<int>(ValueType::Version) == static_cast<int>(spec::OptionKind::Version) + 1);
            return static_cast<ValueType>(static_cast<int>(spec::kind_of(c.get<ValuePayload>().value)) + 1);
        }
        case Kind::IfThen:
        case Kind::Maximize:
        case Kind::Minimize: return std::nullopt;
    }
    return std::nullopt;
}

std::string value_type_description(std::optional<ValueType> type) {
    if (!type) return "None";
    std::string out{"Some("};
    out.append(value_type_name(*type));
    out.push_back(')');
    return out;
}

std::optional<CmpRefusal> check_cmp(const Constraint& lhs, const Constraint& rhs, CmpType op) {
    const std::optional<ValueType> lhs_type = value_type_of(lhs);
    const std::optional<ValueType> rhs_type = value_type_of(rhs);
    const bool equality = op == CmpType::Equal || op == CmpType::NotEqual;
    const bool accepted = lhs_type.has_value() && rhs_type == lhs_type && (*lhs_type != ValueType::Bool || equality);
    if (!accepted) return refusal(lhs, lhs_type, rhs, rhs_type, op);
    return std::nullopt;
}

std::expected<Constraint, CmpRefusal> typed_cmp(Constraint lhs, Constraint rhs, CmpType op) {
    if (auto refused = check_cmp(lhs, rhs, op)) return std::unexpected(*std::move(refused));
    return Constraint{CmpPayload{std::move(lhs), std::move(rhs), op}};
}

}  // namespace kelto::package::constraint
