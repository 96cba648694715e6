// Builds constraint trees from a small bytecode and checks that copies print
// like their originals and outlive them, that take() and rebuilding keep the
// text, and that the comparison check either accepts (and the Cmp prints both
// sides around the operator) or refuses with a message naming both sides. Leaks and bad frees show up under ASan/LSan.
//
// Each byte is an instruction: build a node of one kind (every kind, through
// the kind table), compare, copy, or take and rebuild. Operands come from the
// following bytes and sub-constraints from a stack (an empty stack yields a
// Depends on "").
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "package/constraint/refusal.hpp"
#include "package/constraint/tree.hpp"

namespace {

namespace c = kelto::package::constraint;
using c::Constraint;

// Copies share their nodes but double the text to print, so the total size
// of the trees is capped to keep runs quick.
constexpr std::size_t kNodeBudget = 20'000;

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "constraint_fuzz: %s\n", what);
    std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_{data}, size_{size} {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t u64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value = value << 8 | byte();
        return value;
    }
    std::string text() {
        // The length byte is read before what is left is measured: as two
        // arguments of one call, their order would be the compiler's choice.
        const std::size_t wanted = byte() % 24;
        const std::size_t length = std::min<std::size_t>(wanted, size_ - std::min(pos_, size_));
        std::string out(reinterpret_cast<const char*>(data_ + pos_), length);
        pos_ += length;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Entry {
    Constraint tree;
    std::size_t nodes;
};

class Machine {
public:
    explicit Machine(Input& in) : in_{in} {}

    void run() {
        while (!in_.done()) step(in_.byte());
        for (Entry& entry : stack_) check_copy_outlives(std::move(entry.tree));
    }

private:
    void push(Constraint tree, std::size_t nodes) {
        total_ += nodes;
        stack_.push_back({std::move(tree), nodes});
    }
    Entry pop() {
        if (stack_.empty()) return {Constraint{c::DependsPayload{}}, 1};
        Entry entry = std::move(stack_.back());
        stack_.pop_back();
        total_ -= entry.nodes;
        return entry;
    }
    c::CmpType op() { return static_cast<c::CmpType>(in_.byte() % c::kCmpTypeCount); }

    /// An option value of any kind, from the input.
    kelto::package::option::SpecOptionValue option_value() {
        switch (in_.byte() % 5) {
            case 0: return (in_.byte() & 1) != 0;
            case 1: return std::bit_cast<std::int64_t>(in_.u64());
            case 2: return std::bit_cast<double>(in_.u64());
            case 3: return in_.text();
            default: {
                // A text that is no version still gives a value: its Str.
                std::string text = in_.text();
                auto version = kelto::package::version::parse_version(text);
                if (version) return *std::move(version);
                return text;
            }
        }
    }

    /// A node of `Payload`'s kind from its fields, in order: a text, an
    /// operator or an option value from the input, a child from the stack, and
    /// a list of up to five of them. A Cmp is built unchecked, as its
    /// constructor builds it.
    template <class Payload>
    void build() {
        std::size_t nodes = 1;
        const auto field = [&]<class T>(std::type_identity<T>) -> T {
            constexpr c::FieldKind kind = *c::kFieldKindOf<T>;
            if constexpr (kind == c::FieldKind::Text) {
                return T{in_.text()};
            } else if constexpr (kind == c::FieldKind::Child) {
                Entry item = pop();
                nodes += item.nodes;
                return std::move(item.tree);
            } else if constexpr (kind == c::FieldKind::List) {
                std::vector<Constraint> of;
                for (int n = in_.byte() % 6; n > 0 && !stack_.empty(); --n) {
                    Entry item = pop();
                    nodes += item.nodes;
                    of.push_back(std::move(item.tree));
                }
                return of;
            } else if constexpr (kind == c::FieldKind::Operator) {
                return op();
            } else {
                return option_value();
            }
        };
        // A braced list reads the fields from left to right.
        Constraint built = std::apply([&](const auto&... fields) {
            return Constraint{Payload{field(std::type_identity<c::detail::FieldType<decltype(fields)>>{})...}};
        }, c::KindTraits<Payload>::kFields);
        push(std::move(built), nodes);
    }

    // Instructions: one per kind (its node, through the kind table), then the
    // three below.
    void step(std::uint8_t instruction) {
        const std::size_t chosen = instruction % (c::kKindCount + 3);
        if (chosen < c::kKindCount) {
            c::visit_kind(static_cast<c::Kind>(chosen), [&]<class Payload>() { build<Payload>(); });
            return;
        }
        switch (chosen - c::kKindCount) {
            case 0: compare(); break;
            case 1: {
                if (stack_.empty() || total_ + stack_.back().nodes > kNodeBudget) break;
                const Entry& top = stack_.back();
                Constraint copy = top.tree;
                const std::string text = c::constraint_text(top.tree);
                check(c::constraint_text(copy) == text, "a copy prints like its original");
                check(c::constraint_text_size(copy, SIZE_MAX) == text.size(), "a shared tree measures as it prints");
                push(std::move(copy), top.nodes);
                break;
            }
            default: take_and_rebuild(); break;
        }
    }

    // What the rich comparison does: check, then build the Cmp or word the refusal.
    void compare() {
        Entry rhs = pop();
        Entry lhs = pop();
        const c::CmpType how = op();
        const std::string lhs_text = c::constraint_text(lhs.tree);
        const std::string rhs_text = c::constraint_text(rhs.tree);
        const auto lhs_type = c::value_type_of(lhs.tree);
        const auto rhs_type = c::value_type_of(rhs.tree);
        if (const auto refused = c::check_cmp(lhs.tree, rhs.tree, how)) {
            check(refused->lhs_type == lhs_type && refused->rhs_type == rhs_type,
                  "the refusal names the value types of both sides");
            check(!lhs_type.has_value() || lhs_type != rhs_type || *lhs_type == c::ValueType::Bool,
                  "only unequal or missing types, or ordered booleans, are refused");
            const std::string expected = "Cannot compare type " + c::value_type_description(lhs_type) +
                                         " from constraint " + lhs_text + " with type " +
                                         c::value_type_description(rhs_type) + " from constraint " + rhs_text +
                                         " using operator '" + std::string{c::operator_text(how)} + "'";
            check(c::refusal_text(lhs.tree, rhs.tree, how, *refused) == expected,
                  "the refusal text carries both sides whole");
            return;
        }
        check(lhs_type.has_value() && lhs_type == rhs_type, "only equal types are compared");
        Constraint cmp{c::CmpPayload{std::move(lhs.tree), std::move(rhs.tree), how}};
        const std::string expected = "[ " + lhs_text + " ] " + std::string{c::operator_text(how)} + " [ " + rhs_text + " ]";
        check(c::constraint_text(cmp) == expected, "the Cmp prints both sides around the operator");
        push(std::move(cmp), lhs.nodes + rhs.nodes + 1);
    }

    template <class Payload>
    Constraint rebuild(Constraint tree) {
        return Constraint{std::move(tree).take<Payload>()};
    }

    void take_and_rebuild() {
        if (stack_.empty()) return;
        Constraint& top = stack_.back().tree;
        const std::string before = c::constraint_text(top);
        top = c::visit_kind(top.kind(), [&]<class Payload>() { return rebuild<Payload>(std::move(top)); });
        check(c::constraint_text(top) == before, "take and rebuild keep the text");
    }

    static void check_copy_outlives(Constraint original) {
        const std::string text = c::constraint_text(original);
        std::optional<Constraint> copy{original};
        check(c::constraint_text(*copy) == text, "a copy prints like its original");
        { const Constraint doomed = std::move(original); }
        check(c::constraint_text(*copy) == text, "a copy outlives its original");
    }

    Input& in_;
    std::vector<Entry> stack_;
    std::size_t total_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    Machine{in}.run();
    return 0;
}
