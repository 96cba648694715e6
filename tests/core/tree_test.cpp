#include "tree_builders.hpp"

#include "package/constraint/holder.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// Counts the allocations of the whole test binary, so a test can tell how
// many blocks an operation took. AddressSanitizer brings its own operator new.
#if defined(__SANITIZE_ADDRESS__)
#define KELTO_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELTO_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef KELTO_COUNTS_ALLOCATIONS
#define KELTO_COUNTS_ALLOCATIONS 1
#endif

namespace {
std::size_t allocation_count = 0;
}  // namespace

#if KELTO_COUNTS_ALLOCATIONS
// Out of line: inlined, g++ would see malloc() and free() meet new and delete.
[[gnu::noinline]] void* operator new(std::size_t size) {
    ++allocation_count;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc{};
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace kelto::package::constraint {
namespace {

using option::SpecOptionValue;

using namespace test;  // depends(), value(), num_of(), ...

using version::Version;

Version version(std::string_view text) { return *version::parse_version(text); }

// A tree with every kind in it, for the copy tests.
Constraint every_kind() {
    return num_of(cmp(option("pkg", "opt"), option("q", ""), CmpType::Less),
                  if_then(depends("a"), maximize(minimize(num_of()))),
                  value(std::int64_t{-7}), value(2.5), value(std::string{"s t"}), value(version("1.*")), value(true));
}
constexpr std::string_view kEveryKindText =
    "NumOf( [ Package 'pkg' -> Option 'opt' ] < [ Package 'q' -> Option '' ], "
    "If( Depends( a ) ) Then [ Maximize( Minimize( NumOf(  ) ) ) ], -7, 2.5, s t, 1.*, true )";

// ---------------------------------------------------------------------------
// Text form

struct TextCase {
    std::string_view name;
    Constraint tree;
    std::string_view text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class TextForm : public testing::TestWithParam<TextCase> {};

TEST_P(TextForm, WritesTheText) {
    const TextCase& c = GetParam();
    EXPECT_EQ(constraint_text(c.tree), c.text);
    std::string out = "c=";
    append_constraint_text(out, c.tree);
    EXPECT_EQ(out, "c=" + std::string{c.text});
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TextForm,
    testing::Values(
        TextCase{"depends", depends("a"), "Depends( a )"},
        TextCase{"spec option", option("pkg", "opt"), "Package 'pkg' -> Option 'opt'"},
        TextCase{"spec option empty", option("", ""), "Package '' -> Option ''"},
        TextCase{"value str", value(std::string{"a b"}), "a b"},
        TextCase{"value bool", value(true), "true"},
        TextCase{"value version", value(version("01.2-rc1")), "1.2-rc1"},
        TextCase{"cmp", cmp(option("pkg", "opt"), value(std::int64_t{3}), CmpType::Equal),
                 "[ Package 'pkg' -> Option 'opt' ] == [ 3 ]"},
        TextCase{"cmp nested",
                 cmp(cmp(depends("a"), value(true), CmpType::Equal), value(false), CmpType::NotEqual),
                 "[ [ Depends( a ) ] == [ true ] ] != [ false ]"},
        TextCase{"cmp nested right", cmp(depends("a"), cmp(depends("b"), depends("c"), CmpType::Less), CmpType::Greater),
                 "[ Depends( a ) ] > [ [ Depends( b ) ] < [ Depends( c ) ] ]"},
        TextCase{"if then", if_then(depends("a"), depends("b")), "If( Depends( a ) ) Then [ Depends( b ) ]"},
        TextCase{"if then nested", if_then(if_then(depends("a"), depends("b")), if_then(depends("c"), depends("d"))),
                 "If( If( Depends( a ) ) Then [ Depends( b ) ] ) Then [ If( Depends( c ) ) Then [ Depends( d ) ] ]"},
        TextCase{"maximize", maximize(depends("a")), "Maximize( Depends( a ) )"},
        TextCase{"minimize", minimize(maximize(value(std::int64_t{1}))), "Minimize( Maximize( 1 ) )"},
        TextCase{"num_of empty", num_of(), "NumOf(  )"},
        TextCase{"num_of one", num_of(depends("a")), "NumOf( Depends( a ) )"},
        TextCase{"num_of three", num_of(depends("a"), depends("b"), depends("c")),
                 "NumOf( Depends( a ), Depends( b ), Depends( c ) )"},
        TextCase{"num_of nested", num_of(num_of(), num_of(depends("a")), num_of(num_of(depends("b"), depends("c")))),
                 "NumOf( NumOf(  ), NumOf( Depends( a ) ), NumOf( NumOf( Depends( b ), Depends( c ) ) ) )"},
        TextCase{"every kind", every_kind(), kEveryKindText}));

// ---------------------------------------------------------------------------
// Copy, assignment, take

TEST(Copy, IsIndependentOfItsOriginal) {
    std::optional<Constraint> original{every_kind()};
    const Constraint copy = *original;
    EXPECT_EQ(constraint_text(copy), kEveryKindText);
    original.reset();
    EXPECT_EQ(constraint_text(copy), kEveryKindText);

    // And the other way round: the copy goes first.
    const Constraint source = every_kind();
    { const Constraint doomed = source; }
    EXPECT_EQ(constraint_text(source), kEveryKindText);
}

TEST(Assign, CopyReplacesTheOldTree) {
    Constraint target = maximize(depends("old"));
    const Constraint source = every_kind();
    target = source;
    EXPECT_EQ(constraint_text(target), kEveryKindText);
    EXPECT_EQ(constraint_text(source), kEveryKindText);
}

TEST(Assign, FromAPartOfItself) {
    // The source lives inside the tree being replaced: it must be copied
    // before the old tree goes.
    Constraint tree = maximize(cmp(depends("a"), num_of(depends("b")), CmpType::Equal));
    tree = tree.get<MaximizePayload>().item;
    EXPECT_EQ(constraint_text(tree), "[ Depends( a ) ] == [ NumOf( Depends( b ) ) ]");
    tree = tree.get<CmpPayload>().rhs.get<NumOfPayload>().of[0];
    EXPECT_EQ(constraint_text(tree), "Depends( b )");
}

TEST(Assign, ToItself) {
    Constraint tree = every_kind();
    Constraint& alias = tree;
    tree = alias;
    EXPECT_EQ(constraint_text(tree), kEveryKindText);
    tree = std::move(alias);
    EXPECT_EQ(constraint_text(tree), kEveryKindText);
}

TEST(Assign, MoveLeavesTheSourceEmpty) {
    Constraint source = every_kind();
    Constraint target = depends("old");
    target = std::move(source);
    EXPECT_TRUE(source.empty());  // NOLINT(bugprone-use-after-move): the documented state
    EXPECT_EQ(constraint_text(target), kEveryKindText);
    source = depends("again");  // a moved-from constraint takes a new value
    EXPECT_EQ(constraint_text(source), "Depends( again )");
    Constraint moved{std::move(target)};
    EXPECT_TRUE(target.empty());  // NOLINT(bugprone-use-after-move)
    const Constraint copy_of_empty = target;
    EXPECT_TRUE(copy_of_empty.empty());
}

TEST(Take, MovesThePayloadOutWhole) {
    Constraint tree = cmp(maximize(depends("a")), value(std::string{"x"}), CmpType::GreaterOrEqual);
    CmpPayload payload = std::move(tree).take<CmpPayload>();
    EXPECT_TRUE(tree.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(payload.op, CmpType::GreaterOrEqual);
    EXPECT_EQ(constraint_text(payload.lhs), "Maximize( Depends( a ) )");
    EXPECT_EQ(constraint_text(payload.rhs), "x");
    // The payload builds a node again; the copy of a payload copies its children.
    const CmpPayload kept = payload;
    tree = Constraint{std::move(payload)};
    EXPECT_EQ(constraint_text(tree), "[ Maximize( Depends( a ) ) ] >= [ x ]");
    EXPECT_EQ(constraint_text(kept.lhs), "Maximize( Depends( a ) )");

    Constraint list = num_of(depends("a"), depends("b"));
    const NumOfPayload of = std::move(list).take<NumOfPayload>();
    ASSERT_EQ(of.of.size(), 2U);
    EXPECT_EQ(constraint_text(of.of[1]), "Depends( b )");
    EXPECT_EQ(value(std::int64_t{4}).take<ValuePayload>().value, SpecOptionValue{std::int64_t{4}});
    EXPECT_EQ(option("p", "o").take<SpecOptionPayload>().option_name, "o");
}

TEST(Memory, AtMostOneAllocationPerNodeAndNoneToCopy) {
    if (!KELTO_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
    EXPECT_EQ(sizeof(Constraint), sizeof(void*));
    // Freed nodes are kept for reuse, so a node may cost no new block at all;
    // it never costs more than one. A name of up to 30 bytes stays inline.
    std::string name{"a-name-of-thirty-bytes-exactly"};
    std::size_t before = allocation_count;
    const Constraint short_name = depends(std::move(name));
    EXPECT_LE(allocation_count - before, 1U);

    // Copies share their nodes, however deep; the last one frees the chain
    // without any bookkeeping allocation.
    std::optional<Constraint> chain{depends("a")};
    for (int i = 0; i < 1'000; ++i) *chain = maximize(std::move(*chain));
    before = allocation_count;
    std::optional<Constraint> chain_copy{*chain};
    Constraint inner = chain_copy->get<MaximizePayload>().item;
    EXPECT_EQ(allocation_count - before, 0U);
    chain.reset();
    chain_copy.reset();
    EXPECT_EQ(constraint_text(inner).size(), 999 * std::string_view{"Maximize(  )"}.size() + 12);
    before = allocation_count;
    { const Constraint last = std::move(inner); }
    EXPECT_EQ(allocation_count - before, 0U);
}

TEST(Share, TakeCopiesWhatAnotherStillHolds) {
    Constraint tree = cmp(maximize(depends("a")), value(std::string{"x"}), CmpType::Less);
    const Constraint other = tree;
    CmpPayload payload = std::move(tree).take<CmpPayload>();
    EXPECT_TRUE(tree.empty());  // NOLINT(bugprone-use-after-move)
    payload.lhs = depends("changed");
    EXPECT_EQ(constraint_text(other), "[ Maximize( Depends( a ) ) ] < [ x ]");
    EXPECT_EQ(constraint_text(Constraint{std::move(payload)}), "[ Depends( changed ) ] < [ x ]");
}

TEST(Share, SharedNodesAreMeasuredOnceAndALongTextIsRefusedUnwritten) {
    Constraint tree = depends("a");
    std::string expected = "Depends( a )";
    for (int i = 0; i < 10; ++i) {
        tree = num_of(tree, tree);
        expected = "NumOf( " + expected + ", " + expected + " )";
    }
    EXPECT_EQ(constraint_text_size(tree, SIZE_MAX), expected.size());
    EXPECT_EQ(constraint_text_size(tree, expected.size() - 1), std::nullopt);
    EXPECT_EQ(constraint_text(tree), expected);
    for (int i = 10; i < 40; ++i) tree = num_of(tree, tree);  // terabytes of text
    std::string out{"kept"};
    EXPECT_THROW(append_constraint_text(out, tree), TextTooLong);
    EXPECT_EQ(out, "kept");
}

TEST(Share, CopiesDieOnManyThreads) {
    // Every thread drops its copies of one shared tree; the last one, whichever
    // it is, frees it (AddressSanitizer builds see a double or missed free).
    std::vector<Constraint> of;
    for (int i = 0; i < 64; ++i) of.push_back(maximize(depends("d" + std::to_string(i))));
    const Constraint shared{NumOfPayload{std::move(of)}};
    for (int round = 0; round < 20; ++round) {
        std::vector<std::vector<Constraint>> copies(8);
        for (auto& mine : copies) {
            for (std::size_t i = 0; i < 100; ++i) mine.push_back(i % 2 == 0 ? shared : shared.get<NumOfPayload>().of[i % 64]);
        }
        std::vector<std::thread> threads;
        for (auto& mine : copies) threads.emplace_back([&mine] { mine.clear(); });
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(constraint_text(shared.get<NumOfPayload>().of[63]), "Maximize( Depends( d63 ) )");
}

// ---------------------------------------------------------------------------
// Value types and the typed comparison

struct TypeCase {
    std::string_view name;
    Constraint tree;
    std::optional<ValueType> type;
};

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name; }

const std::vector<TypeCase>& type_cases() {
    static const std::vector<TypeCase> cases{
        {"Cmp", cmp(depends("a"), value(true), CmpType::Equal), ValueType::Bool},
        {"Depends", depends("a"), ValueType::Bool},
        {"ValueBool", value(false), ValueType::Bool},
        {"NumOf", num_of(depends("a")), ValueType::Int},
        {"ValueInt", value(std::int64_t{5}), ValueType::Int},
        {"ValueFloat", value(2.0), ValueType::Float},
        {"ValueStr", value(std::string{"a b"}), ValueType::Str},
        {"ValueVersion", value(version("1.2")), ValueType::Version},
        {"SpecOption", option("pkg", "opt"), ValueType::Unknown},
        // A typed child does not give its parent a type.
        {"IfThen", if_then(depends("a"), depends("b")), std::nullopt},
        {"Maximize", maximize(num_of()), std::nullopt},
        {"Minimize", minimize(value(std::int64_t{1})), std::nullopt},
    };
    return cases;
}

class ValueTypeOf : public testing::TestWithParam<TypeCase> {};

TEST_P(ValueTypeOf, ByKindOnly) { EXPECT_EQ(value_type_of(GetParam().tree), GetParam().type); }

INSTANTIATE_TEST_SUITE_P(Kinds, ValueTypeOf, testing::ValuesIn(type_cases()),
                         [](const auto& param) { return std::string{param.param.name}; });

constexpr std::array<CmpType, 6> kAllOps{CmpType::Less,  CmpType::LessOrEqual,    CmpType::NotEqual,
                                         CmpType::Equal, CmpType::GreaterOrEqual, CmpType::Greater};

// The allowed combinations: identical types only; booleans under == and != only.
bool allowed(std::optional<ValueType> lhs, std::optional<ValueType> rhs, CmpType op) {
    if (!lhs || !rhs || *lhs != *rhs) return false;
    return *lhs != ValueType::Bool || op == CmpType::Equal || op == CmpType::NotEqual;
}

class CheckCmp : public testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(CheckCmp, AcceptsOrRefusesEveryOperator) {
    const TypeCase& lhs = type_cases()[std::get<0>(GetParam())];
    const TypeCase& rhs = type_cases()[std::get<1>(GetParam())];
    for (const CmpType op : kAllOps) {
        SCOPED_TRACE(std::string{member_name(op)});
        const auto refused = check_cmp(lhs.tree, rhs.tree, op);
        if (allowed(lhs.type, rhs.type, op)) {
            EXPECT_FALSE(refused.has_value());
        } else {
            ASSERT_TRUE(refused.has_value());
            EXPECT_EQ(refused->lhs_type, lhs.type);
            EXPECT_EQ(refused->rhs_type, rhs.type);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, CheckCmp,
                         testing::Combine(testing::Range<std::size_t>(0, type_cases().size()),
                                          testing::Range<std::size_t>(0, type_cases().size())),
                         [](const auto& param) {
                             return std::string{type_cases()[std::get<0>(param.param)].name} + "_vs_" +
                                    std::string{type_cases()[std::get<1>(param.param)].name};
                         });

// ---------------------------------------------------------------------------
// Deep and wide trees: every walk must stay off the C stack.

constexpr std::size_t kMillion = 1'000'000;

/// One way to nest a tree into a parent, with the text the parent adds on
/// each side of its child.
struct Nesting {
    std::string_view name;
    std::function<Constraint(Constraint)> wrap;
    std::string_view before;
    std::string_view after;
};

void PrintTo(const Nesting& n, std::ostream* os) { *os << n.name; }

class MillionDeep : public testing::TestWithParam<Nesting> {};

TEST_P(MillionDeep, CopiesPrintsAndDies) {
    const Nesting& nesting = GetParam();
    std::optional<Constraint> tree{depends("leaf")};
    for (std::size_t i = 0; i < kMillion; ++i) *tree = nesting.wrap(std::move(*tree));

    const Constraint copy = *tree;
    const std::string text = constraint_text(copy);
    const std::string expected =
        repeat(nesting.before, kMillion) + "Depends( leaf )" + repeat(nesting.after, kMillion);
    ASSERT_EQ(text.size(), expected.size());
    EXPECT_TRUE(text == expected);  // not EXPECT_EQ: a failure would print megabytes
    tree.reset();
    EXPECT_TRUE(constraint_text(copy) == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MillionDeep,
    testing::Values(
        Nesting{"Maximize", [](Constraint c) { return maximize(std::move(c)); }, "Maximize( ", " )"},
        Nesting{"Minimize", [](Constraint c) { return minimize(std::move(c)); }, "Minimize( ", " )"},
        Nesting{"CmpLeft", [](Constraint c) { return cmp(std::move(c), value(true), CmpType::Equal); }, "[ ",
                " ] == [ true ]"},
        Nesting{"CmpRight", [](Constraint c) { return cmp(value(std::int64_t{1}), std::move(c), CmpType::Less); },
                "[ 1 ] < [ ", " ]"},
        Nesting{"IfThenCond", [](Constraint c) { return if_then(std::move(c), depends("t")); }, "If( ",
                " ) Then [ Depends( t ) ]"},
        Nesting{"IfThenThen", [](Constraint c) { return if_then(depends("c"), std::move(c)); },
                "If( Depends( c ) ) Then [ ", " ]"},
        Nesting{"NumOfOnly", [](Constraint c) { return num_of(std::move(c)); }, "NumOf( ", " )"},
        Nesting{"NumOfFirst", [](Constraint c) { return num_of(std::move(c), num_of()); }, "NumOf( ",
                ", NumOf(  ) )"},
        Nesting{"NumOfLast", [](Constraint c) { return num_of(depends("x"), std::move(c)); },
                "NumOf( Depends( x ), ", " )"}),
    [](const auto& param) { return std::string{param.param.name}; });

TEST(MillionWide, NumOfCopiesPrintsAndDies) {
    std::vector<Constraint> of;
    of.reserve(kMillion);
    std::string expected = "NumOf( ";
    for (std::size_t i = 0; i < kMillion; ++i) {
        std::string name = "d" + std::to_string(i);
        if (i > 0) expected.append(", ");
        expected.append("Depends( " + name + " )");
        of.push_back(depends(std::move(name)));
    }
    expected.append(" )");
    std::optional<Constraint> tree{Constraint{NumOfPayload{std::move(of)}}};

    const Constraint copy = *tree;
    const std::string text = constraint_text(copy);
    ASSERT_EQ(text.size(), expected.size());
    EXPECT_EQ(text.substr(0, 40), expected.substr(0, 40));
    EXPECT_EQ(text.substr(text.size() - 40), expected.substr(expected.size() - 40));
    EXPECT_TRUE(text == expected);
    tree.reset();
    EXPECT_EQ(copy.get<NumOfPayload>().of.size(), kMillion);
    EXPECT_TRUE(constraint_text(copy) == expected);
}

// ---------------------------------------------------------------------------
// Holder: a leaf kept in place until a second holder appears

/// A Holder with room for the largest leaf after it, as an object gives it.
template <class Payload>
struct HolderBox {
    template <class... Args>
    explicit HolderBox(Args&&... args) {
        ::new (static_cast<void*>(bytes)) Holder(Holder::InPlace<Payload>{}, std::forward<Args>(args)...);
    }
    HolderBox(const HolderBox&) = delete;
    HolderBox& operator=(const HolderBox&) = delete;
    ~HolderBox() { std::destroy_at(&get()); }
    Holder& get() { return *std::launder(reinterpret_cast<Holder*>(bytes)); }

    alignas(Holder) std::byte bytes[sizeof(Holder) + kTailBytes<Payload>];
};

// A name past the inline capacity, so the payload owns a heap block that a
// botched move would leak or free twice (seen by AddressSanitizer).
const std::string kLongName = repeat("long-name-", 5);

TEST(Holder, BuildsALeafWithoutANodeAndSharesItOnce) {
    HolderBox<DependsPayload> box{std::string_view{"libc6"}};
    Holder& held = box.get();
    EXPECT_EQ(held.kind(), Kind::Depends);
    EXPECT_EQ(held.get<DependsPayload>().name, "libc6");

    std::size_t before = allocation_count;
    const Constraint first = held.share();
    if (KELTO_COUNTS_ALLOCATIONS) {
        EXPECT_LE(allocation_count - before, 1U);
    }
    before = allocation_count;
    const Constraint second = held.share();
    EXPECT_EQ(allocation_count - before, 0U);  // the node made by the first share
    EXPECT_EQ(&first.get<DependsPayload>(), &second.get<DependsPayload>());
    EXPECT_EQ(&held.get<DependsPayload>(), &first.get<DependsPayload>());
    EXPECT_EQ(held.kind(), Kind::Depends);
}

TEST(Holder, EditsInPlaceUntilSharedThenOnACopy) {
    HolderBox<SpecOptionPayload> box{std::string_view{"pkg"}, kLongName};
    Holder& held = box.get();
    held.edit<SpecOptionPayload>([](SpecOptionPayload& p) noexcept { p.option_name = Text{"opt"}; });
    EXPECT_EQ(held.get<SpecOptionPayload>().option_name, "opt");

    const Constraint shared = held.share();
    held.edit<SpecOptionPayload>([](SpecOptionPayload& p) noexcept { p.package_name = Text{kLongName}; });
    EXPECT_EQ(constraint_text(shared), "Package 'pkg' -> Option 'opt'");
    EXPECT_EQ(constraint_text(held.node()), "Package '" + kLongName + "' -> Option 'opt'");
}

TEST(Holder, OutlivedByTheNodeItShared) {
    std::optional<Constraint> shared;
    {
        HolderBox<ValuePayload> box{SpecOptionValue{kLongName}};
        shared = box.get().share();
    }
    EXPECT_EQ(constraint_text(*shared), kLongName);
    {
        HolderBox<ValuePayload> box{SpecOptionValue{version("1.2.*")}};
        EXPECT_EQ(box.get().kind(), Kind::Value);
        EXPECT_EQ(value_type_of(box.get().node()), ValueType::Version);
    }
}

TEST(Holder, ParentsHoldTheirNode) {
    const Holder held{maximize(depends("a"))};
    EXPECT_EQ(held.kind(), Kind::Maximize);
    const Constraint copy = held.share();
    EXPECT_EQ(&copy.get<MaximizePayload>(), &held.get<MaximizePayload>());
}

}  // namespace
}  // namespace kelto::package::constraint
