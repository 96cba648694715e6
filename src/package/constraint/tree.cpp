#include "package/constraint/tree.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

namespace kelto::package::constraint {

// The kind lives in the low three bits of the node pointer.
static_assert(sizeof(Constraint) == sizeof(void*));
static_assert(alignof(CmpPayload) >= 8 && alignof(DependsPayload) >= 8 && alignof(IfThenPayload) >= 8 &&
              alignof(MaximizePayload) >= 8 && alignof(MinimizePayload) >= 8 && alignof(NumOfPayload) >= 8 &&
              alignof(SpecOptionPayload) >= 8 && alignof(ValuePayload) >= 8);

/// The node-level operations behind Constraint. Every walk over a tree keeps
/// its pending work on the heap, so the C stack stays flat however deep the
/// tree is.
struct TreeAccess {
    template <class Payload>
    static std::uintptr_t tag(Payload* node) noexcept {
        return reinterpret_cast<std::uintptr_t>(node) | static_cast<std::uintptr_t>(kKindOf<Payload>);
    }

    static Kind kind(std::uintptr_t bits) noexcept { return static_cast<Kind>(bits & Constraint::kKindMask); }

    template <class Payload>
    static Payload* node(std::uintptr_t bits) noexcept {
        return reinterpret_cast<Payload*>(bits & ~Constraint::kKindMask);
    }

    static std::uintptr_t& bits(Constraint& c) noexcept { return c.bits_; }
    static std::uintptr_t release(Constraint& c) noexcept { return std::exchange(c.bits_, 0); }
    static Constraint empty() noexcept { return Constraint{}; }

    static void destroy(std::uintptr_t bits) noexcept;
    static void copy(const Constraint& from, Constraint& to);
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

/// Frees the node of `bits` once its children have been handed over; returns
/// the child to free next (0 for none) so that chains need no stack at all.
std::uintptr_t free_node(std::uintptr_t bits, Teardown& pending, detail::NodePools& pools) {
    switch (Access::kind(bits)) {
        case Kind::Cmp: {
            auto* node = Access::node<CmpPayload>(bits);
            pending.push(node->rhs);
            const std::uintptr_t next = Access::release(node->lhs);
            detail::free_node_in(pools, node);
            return next;
        }
        case Kind::IfThen: {
            auto* node = Access::node<IfThenPayload>(bits);
            pending.push(node->then);
            const std::uintptr_t next = Access::release(node->cond);
            detail::free_node_in(pools, node);
            return next;
        }
        case Kind::Maximize: {
            auto* node = Access::node<MaximizePayload>(bits);
            const std::uintptr_t next = Access::release(node->item);
            detail::free_node_in(pools, node);
            return next;
        }
        case Kind::Minimize: {
            auto* node = Access::node<MinimizePayload>(bits);
            const std::uintptr_t next = Access::release(node->item);
            detail::free_node_in(pools, node);
            return next;
        }
        case Kind::NumOf: {
            auto* node = Access::node<NumOfPayload>(bits);
            if (node->of.size() <= kUnpackedList) {
                for (Constraint& item : node->of) pending.push(item);
            } else {
                pending.push_list(std::move(node->of));  // one entry, however long
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

// ---------------------------------------------------------------------------
// Copy

/// `count` consecutive constraints still to copy from `from` into the empty
/// slots at `to`: one child of a binary node, or the rest of a NumOf list.
struct CopyRange {
    const Constraint* from;
    Constraint* to;
    std::size_t count;
};

template <class Payload>
Payload* install(Constraint& to, Payload* node) noexcept {
    Access::bits(to) = Access::tag(node);
    return node;
}

/// Copies the node of `from` into the empty slot `to`, with empty child slots,
/// and returns the first child pair to fill next (or nulls). Other children
/// go on `pending`. The payload structs are never copied whole here: their
/// copy constructors would copy the children recursively.
std::pair<const Constraint*, Constraint*> copy_node(const Constraint& from, Constraint& to,
                                                    SmallStack<CopyRange, 16>& pending, detail::NodePools& pools) {
    if (from.empty()) return {nullptr, nullptr};  // a moved-from slot copies as one
    switch (from.kind()) {
        case Kind::Cmp: {
            const auto& source = from.get<CmpPayload>();
            auto* node = install(to, detail::make_node_in<CmpPayload>(pools, Access::empty(), Access::empty(), source.op));
            pending.push_back({&source.rhs, &node->rhs, 1});
            return {&source.lhs, &node->lhs};
        }
        case Kind::IfThen: {
            const auto& source = from.get<IfThenPayload>();
            auto* node = install(to, detail::make_node_in<IfThenPayload>(pools, Access::empty(), Access::empty()));
            pending.push_back({&source.then, &node->then, 1});
            return {&source.cond, &node->cond};
        }
        case Kind::Maximize: {
            auto* node = install(to, detail::make_node_in<MaximizePayload>(pools, Access::empty()));
            return {&from.get<MaximizePayload>().item, &node->item};
        }
        case Kind::Minimize: {
            auto* node = install(to, detail::make_node_in<MinimizePayload>(pools, Access::empty()));
            return {&from.get<MinimizePayload>().item, &node->item};
        }
        case Kind::NumOf: {
            const auto& source = from.get<NumOfPayload>().of;
            auto* node = install(to, detail::make_node_in<NumOfPayload>(pools));
            if (source.empty()) return {nullptr, nullptr};
            // All slots exist before any is filled, so the pointers into the
            // list stay valid.
            node->of.reserve(source.size());
            for (std::size_t i = 0; i < source.size(); ++i) node->of.push_back(Access::empty());
            if (source.size() > 1) pending.push_back({source.data() + 1, node->of.data() + 1, source.size() - 1});
            return {source.data(), node->of.data()};
        }
        case Kind::Depends: install(to, detail::make_node_in<DependsPayload>(pools, from.get<DependsPayload>())); break;
        case Kind::SpecOption: install(to, detail::make_node_in<SpecOptionPayload>(pools, from.get<SpecOptionPayload>())); break;
        case Kind::Value: install(to, detail::make_node_in<ValuePayload>(pools, from.get<ValuePayload>())); break;
    }
    return {nullptr, nullptr};
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

void TreeAccess::destroy(std::uintptr_t bits) noexcept {
    if (bits == 0) return;  // moved from
    // The implicit destructors would recurse once per level and overflow the C
    // stack on a deep tree. Each node here is stripped of its children before
    // it is deleted, so every delete frees one node only. (Growing the pending
    // stack can only fail when memory is exhausted, which ends the process.)
    Teardown pending;
    detail::NodePools& pools = detail::NodePools::local();
    while (bits != 0) {
        bits = free_node(bits, pending, pools);
        if (bits == 0) bits = pending.pop();
    }
}

void TreeAccess::copy(const Constraint& from, Constraint& to) {
    // Every slot is valid at every moment (a finished node or an empty child),
    // so if an allocation throws, destroying `to` frees exactly what was built.
    SmallStack<CopyRange, 16> pending;
    detail::NodePools& pools = detail::NodePools::local();
    const Constraint* source = &from;
    Constraint* target = &to;
    for (;;) {
        std::tie(source, target) = copy_node(*source, *target, pending, pools);
        if (source != nullptr) continue;
        if (pending.empty()) return;
        CopyRange& range = pending.back();
        source = range.from++;
        target = range.to++;
        if (--range.count == 0) pending.pop_back();
    }
}

// ---------------------------------------------------------------------------
// Constraint


Constraint::Constraint(const Constraint& other) {
    // Built in a local first: should an allocation throw, its destructor frees
    // the part already copied (ours would not run for a constructor that throws).
    Constraint built;
    TreeAccess::copy(other, built);
    bits_ = std::exchange(built.bits_, 0);
}

Constraint& Constraint::operator=(const Constraint& other) {
    // Copy before letting go of the old tree: `other` may live inside it.
    if (this != &other) *this = Constraint{other};
    return *this;
}

Constraint& Constraint::operator=(Constraint&& other) noexcept {
    // Take the new pointer before freeing the old tree, which may own `other`.
    if (this != &other) TreeAccess::destroy(std::exchange(bits_, std::exchange(other.bits_, 0)));
    return *this;
}

Constraint::~Constraint() { TreeAccess::destroy(bits_); }

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
