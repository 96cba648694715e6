// The words of a refused comparison, as Python reads them.
#include "package/constraint/refusal.hpp"
#include "tree_builders.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace kelto::package::constraint {
namespace {

using namespace test;  // depends(), value(), num_of(), repeat(), ...

struct RefusalCase {
    std::string_view name;
    Constraint lhs;
    Constraint rhs;
    CmpType op;
    std::string_view message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, HasTheExactMessage) {
    const RefusalCase& c = GetParam();
    const auto refused = check_cmp(c.lhs, c.rhs, c.op);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refusal_text(c.lhs, c.rhs, c.op, *refused), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Refusal,
    testing::Values(
        RefusalCase{"bool ordered", depends("a"), value(true), CmpType::Less,
                    "Cannot compare type Some(Bool) from constraint Depends( a ) with type Some(Bool) from "
                    "constraint true using operator '<'"},
        RefusalCase{"option with int", option("pkg", "opt"), value(std::int64_t{3}), CmpType::Equal,
                    "Cannot compare type Some(Unknown) from constraint Package 'pkg' -> Option 'opt' with type "
                    "Some(Int) from constraint 3 using operator '=='"},
        RefusalCase{"untyped left", maximize(num_of(depends("a"), depends("b"))), value(std::int64_t{1}),
                    CmpType::GreaterOrEqual,
                    "Cannot compare type None from constraint Maximize( NumOf( Depends( a ), Depends( b ) ) ) with "
                    "type Some(Int) from constraint 1 using operator '>='"},
        RefusalCase{"int with float", num_of(), value(2.0), CmpType::Greater,
                    "Cannot compare type Some(Int) from constraint NumOf(  ) with type Some(Float) from constraint 2 "
                    "using operator '>'"},
        RefusalCase{"str with int", value(std::string{"a b"}), value(std::int64_t{5}), CmpType::NotEqual,
                    "Cannot compare type Some(Str) from constraint a b with type Some(Int) from constraint 5 using "
                    "operator '!='"},
        RefusalCase{"untyped right", num_of(), if_then(depends("a"), depends("b")), CmpType::LessOrEqual,
                    "Cannot compare type Some(Int) from constraint NumOf(  ) with type None from constraint If( "
                    "Depends( a ) ) Then [ Depends( b ) ] using operator '<='"},
        RefusalCase{"both untyped", minimize(depends("a")), minimize(depends("b")), CmpType::Equal,
                    "Cannot compare type None from constraint Minimize( Depends( a ) ) with type None from "
                    "constraint Minimize( Depends( b ) ) using operator '=='"}));


TEST(RefusalText, OfADeepChainIsComplete) {
    constexpr std::size_t kDepth = 100'000;
    Constraint chain = depends("a");
    for (std::size_t i = 0; i < kDepth; ++i) chain = maximize(std::move(chain));
    const Constraint one = value(std::int64_t{1});
    const auto refused = check_cmp(chain, one, CmpType::GreaterOrEqual);
    ASSERT_TRUE(refused.has_value());
    const std::string message = refusal_text(chain, one, CmpType::GreaterOrEqual, *refused);
    const std::string expected = "Cannot compare type None from constraint " + repeat("Maximize( ", kDepth) +
                                 "Depends( a )" + repeat(" )", kDepth) +
                                 " with type Some(Int) from constraint 1 using operator '>='";
    ASSERT_EQ(message.size(), expected.size());
    EXPECT_TRUE(message == expected);
}

}  // namespace
}  // namespace kelto::package::constraint
