#include "package/constraint/tree.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>

namespace kelto::package::constraint {

static_assert(sizeof(Constraint) == sizeof(void*));
// Holder marks an empty handle with an odd word, which no node address is.
static_assert(alignof(detail::NodeHeader) >= 2);

/// The node-level operations behind Constraint. Every walk over a tree keeps
/// its pending work on the heap, so the C stack stays flat however deep the
/// tree is.
struct TreeAccess {
    static detail::NodeHeader* header(std::uintptr_t bits) noexcept {
        return reinterpret_cast<detail::NodeHeader*>(bits);
    }

    static Kind kind(std::uintptr_t bits) noexcept { return header(bits)->kind(); }

    template <class Payload>
    static detail::Node<Payload>* node(std::uintptr_t bits) noexcept {
        return static_cast<detail::Node<Payload>*>(header(bits));
    }

    static std::uintptr_t release(Constraint& c) noexcept { return std::exchange(c.bits_, 0); }

    /// The node of `c` when another Constraint points at it too, else null.
    static const detail::NodeHeader* shared_node(const Constraint& c) noexcept {
        const detail::NodeHeader* node = header(c.bits_);
        return node->sole() ? nullptr : node;
    }

    /// Drops one reference; true when it was the last, so the node is the
    /// caller's to free.
    static bool drop_reference(std::uintptr_t bits) noexcept {
        if (!header(bits)->drop_reference()) return false;
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

/// Frees the node of `bits`, whose last reference is gone, once its children
/// have been handed over; returns the child whose reference to drop next (0
/// for none), so that chains need no stack at all: the first child is
/// returned, the others wait on `pending`.
template <class Payload>
std::uintptr_t free_payload_node(std::uintptr_t bits, Teardown& pending, NodePools& pools) {
    auto* node = Access::node<Payload>(bits);
    std::uintptr_t next = 0;
    if constexpr (detail::HasList<Payload>) {
        auto& list = node->payload.*kListOf<Payload>;
        if (list.size() <= kUnpackedList) {
            for (Constraint& item : list) pending.push(item);
        } else {
            pending.push_list(std::move(list));  // one entry, however long
        }
    } else if constexpr (detail::HasChildren<Payload>) {
        std::apply([&](auto first, auto... rest) {
            (pending.push(node->payload.*rest), ...);
            next = Access::release(node->payload.*first);
        }, kChildrenOf<Payload>);
    }
    detail::free_node(pools, node);
    return next;
}

std::uintptr_t free_node(std::uintptr_t bits, Teardown& pending, NodePools& pools) {
    return visit_kind(Access::kind(bits), [&]<class Payload>() { return free_payload_node<Payload>(bits, pending, pools); });
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
    std::size_t count;
};

/// Writes a leaf whole, or a parent's opening text; returns the number of
/// children still to write (a parent always has a closing text, even with none).
std::optional<std::size_t> write_open(std::string& out, const Constraint& c) {
    return visit_kind(c.kind(), [&]<class Payload>() -> std::optional<std::size_t> {
        using Traits = KindTraits<Payload>;
        const auto& payload = c.get<Payload>();
        if constexpr (detail::HasOpen<Payload>) {
            out.append(Traits::kOpen);
            return child_count(payload);
        } else {
            Traits::write(out, payload);
            return std::nullopt;
        }
    });
}

/// What stands before child `i` (> 0) of a parent.
void write_separator(std::string& out, const Constraint& c) {
    visit_kind(c.kind(), [&]<class Payload>() {
        using Traits = KindTraits<Payload>;
        if constexpr (detail::HasFixedSeparator<Payload>) out.append(Traits::kSeparator);
        else if constexpr (detail::HasSeparatorFn<Payload>) Traits::separator(out, c.get<Payload>());
    });
}

const Constraint& child(const Constraint& c, std::size_t i) noexcept {
    return visit_kind(c.kind(), [&]<class Payload>() -> const Constraint& { return child_at(c.get<Payload>(), i); });
}

std::string_view closing_text(const Constraint& c) noexcept {
    return visit_kind(c.kind(), [&]<class Payload>() -> std::string_view {
        if constexpr (detail::HasClose<Payload>) return KindTraits<Payload>::kClose;
        else return {};
    });
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
    NodePools& pools = NodePools::local();
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

std::optional<std::size_t> constraint_text_size(const Constraint& c, std::size_t limit) {
    // The walk of append_constraint_text, counting instead of writing. A node
    // held more than once is measured once: NumOf([c, c]) nested forty times
    // is a walk of eighty steps, though its text would take terabytes. The
    // count stops as soon as it passes `limit`, so it never overflows.
    struct Frame {
        const Constraint* node;
        std::size_t next;
        std::size_t count;
        std::size_t start;  // the count when the node's text began
    };
    SmallStack<Frame, 32> open;
    std::unordered_map<const detail::NodeHeader*, std::size_t> shared_sizes;
    std::string piece;  // a leaf's text, an opening or a separator, written to be measured
    std::size_t total = 0;
    const Constraint* next = &c;
    for (;;) {
        if (next != nullptr) {
            const detail::NodeHeader* shared = Access::shared_node(*next);
            if (const auto known = shared != nullptr ? shared_sizes.find(shared) : shared_sizes.end();
                known != shared_sizes.end()) {
                total += known->second;
            } else {
                piece.clear();
                const auto children = write_open(piece, *next);
                if (children) open.push_back({next, 0, *children, total});
                else if (shared != nullptr) shared_sizes.emplace(shared, piece.size());
                total += piece.size();
            }
            next = nullptr;
        }
        if (total > limit) return std::nullopt;
        if (open.empty()) return total;
        Frame& frame = open.back();
        if (frame.next < frame.count) {
            if (frame.next > 0) {
                piece.clear();
                write_separator(piece, *frame.node);
                total += piece.size();
            }
            next = &child(*frame.node, frame.next++);
        } else {
            total += closing_text(*frame.node).size();
            if (const detail::NodeHeader* shared = Access::shared_node(*frame.node))
                shared_sizes.emplace(shared, total - frame.start);
            open.pop_back();
        }
    }
}

void append_constraint_text(std::string& out, const Constraint& c) {
    // Measured first, so a text past the limit costs no memory, and the one
    // that is written grows `out` once.
    const auto size = constraint_text_size(c, kMaxTextBytes);
    if (!size || out.size() + *size > kMaxTextBytes) throw TextTooLong{};
    out.reserve(out.size() + *size);
    // Depth-first with an explicit stack of the parents still open.
    SmallStack<TextFrame, 32> open;
    const Constraint* next = &c;
    for (;;) {
        if (next != nullptr) {
            if (const auto children = write_open(out, *next)) open.push_back({next, 0, *children});
            next = nullptr;
        }
        if (open.empty()) return;
        TextFrame& frame = open.back();
        if (frame.next < frame.count) {
            if (frame.next > 0) write_separator(out, *frame.node);
            next = &child(*frame.node, frame.next++);
        } else {
            out.append(closing_text(*frame.node));
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
    return visit_kind(c.kind(), [&]<class Payload>() -> std::optional<ValueType> {
        if constexpr (detail::HasFixedType<Payload>) return KindTraits<Payload>::kValueType;
        else return KindTraits<Payload>::value_type(c.get<Payload>());
    });
}

std::optional<CmpRefusal> check_cmp(const Constraint& lhs, const Constraint& rhs, CmpType op) {
    const std::optional<ValueType> lhs_type = value_type_of(lhs);
    const std::optional<ValueType> rhs_type = value_type_of(rhs);
    const bool equality = op == CmpType::Equal || op == CmpType::NotEqual;
    const bool accepted = lhs_type.has_value() && rhs_type == lhs_type && (*lhs_type != ValueType::Bool || equality);
    if (!accepted) return CmpRefusal{lhs_type, rhs_type};
    return std::nullopt;
}

}  // namespace kelto::package::constraint
