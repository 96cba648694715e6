// The packed form: what packs reads back as itself (text form and, for the
// option maps, every entry), shared nodes stay shared and deep chains need no
// stack, and bytes that are no packed form are refused at the byte that
// shows it, never trusted.
#include "package/packed/format.hpp"
#include "package/packed/packed.hpp"
#include "tree_builders.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kelto::package::packed {
namespace {

using namespace constraint::test;
using constraint::CmpType;
using constraint::Constraint;

version::Version parsed(std::string_view text) { return *version::parse_version(text); }

Constraint unpack_constraint(const std::string& bytes) {
    auto unpacked = unpack(bytes);
    EXPECT_TRUE(unpacked.has_value()) << (unpacked ? "" : unpacked.error().reason);
    return std::get<Constraint>(*std::move(unpacked));
}

TEST(RoundTrip, EveryKindAndOptionKind) {
    const Constraint tree = num_of(
        cmp(depends("libssl3"), value(true), CmpType::NotEqual),
        if_then(constraint::test::option("p", "o"), maximize(minimize(value(std::int64_t{-5})))),
        value(std::numeric_limits<std::int64_t>::min()), value(std::numeric_limits<std::int64_t>::max()),
        value(-0.0), value(1e300), value(std::string("t\xC3\xA9xt\0x", 7)), value(parsed("01.2-rc1+>")),
        depends(repeat("n", 100)), num_of());
    const std::string bytes = pack(tree);
    EXPECT_EQ(constraint::constraint_text(unpack_constraint(bytes)), constraint::constraint_text(tree));
    EXPECT_EQ(pack(unpack_constraint(bytes)), bytes);
}

TEST(RoundTrip, FloatsKeepTheirBits) {
    for (const double d : {std::nan("1"), -std::nan("7"), -0.0, std::numeric_limits<double>::infinity()}) {
        const Constraint back = unpack_constraint(pack(value(d)));
        const double read = std::get<double>(back.get<constraint::ValuePayload>().value);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(read), std::bit_cast<std::uint64_t>(d));
    }
}

TEST(RoundTrip, VersionOperatorAndOutline) {
    EXPECT_EQ(std::get<version::Version>(*unpack(pack(parsed("1.*.x-007")))), parsed("1.*.x-7"));
    const auto op = std::get<PackedCmpType>(*unpack(pack(PackedCmpType{CmpType::GreaterOrEqual, true})));
    EXPECT_EQ(op.op, CmpType::GreaterOrEqual);
    EXPECT_TRUE(op.member);

    outline::PackageOutline outline{"app", {depends("a"), depends("a"), num_of()}, {}, {}};
    outline.set_options.append("x", std::int64_t{3});
    outline.set_options.append("x", 2.5);  // two keys of one text both stay
    outline.set_defaults.append("y", std::nullopt);
    outline.set_defaults.append("z", option::SpecOptionValue{parsed("2")});
    const auto back = std::get<outline::PackageOutline>(*unpack(pack(outline)));
    EXPECT_EQ(back.name.view(), "app");
    ASSERT_EQ(back.constraints.size(), 3U);
    EXPECT_EQ(constraint::constraint_text(back.constraints[1]), "Depends( a )");
    ASSERT_EQ(back.set_options.size(), 2U);
    EXPECT_EQ(std::get<double>(back.set_options.begin()[1].second), 2.5);
    ASSERT_EQ(back.set_defaults.size(), 2U);
    EXPECT_FALSE(back.set_defaults.begin()[0].second.has_value());
    EXPECT_EQ(pack(back), pack(outline));
}

TEST(Sharing, ATreeOfAstronomicalTextPacksSmall) {
    Constraint c = depends("a");
    for (int i = 0; i < 64; ++i) c = num_of(c, c);  // 2^64 leaves, 65 nodes
    const std::string bytes = pack(c);
    EXPECT_LT(bytes.size(), 300U);
    EXPECT_EQ(pack(unpack_constraint(bytes)), bytes);
}

TEST(Depth, AMillionLevelsPackAndUnpackWithoutAStack) {
    Constraint c = depends("leaf");
    for (int i = 0; i < 1'000'000; ++i) c = i % 2 == 0 ? maximize(std::move(c)) : if_then(value(true), std::move(c));
    const std::string bytes = pack(c);
    const Constraint back = unpack_constraint(bytes);
    EXPECT_EQ(pack(back), bytes);
}

/// A packed constraint form from hand-written node bytes.
std::string form(std::string_view nodes_and_roots) {
    return std::string("\x01\x00", 2).append(nodes_and_roots);
}

struct Refusal {
    const char* name;
    std::string bytes;
    std::string_view reason;
    std::size_t offset;
};

std::vector<Refusal> refusals() {
    using namespace std::literals;
    return {
        {"Empty", "", "no format version", 0},
        {"UnknownFormat", "\x02\x00"s, "an unknown format version", 0},
        {"UnknownWhat", "\x01\x09"s, "an unknown kind of object", 1},
        {"TruncatedText", form("\x01\x01"sv), "a truncated or overlong number", 4},
        // The first kind byte past the last kind.
        {"UnknownKind", form(std::string{'\x01', static_cast<char>(constraint::kKindCount)}), "an unknown constraint kind", 3},
        {"SelfReference", form("\x01\x03\x00"sv), "a reference that does not point back into the table", 4},
        {"ForwardReference", form("\x02\x01\x01\x61\x03\x02"sv), "a reference that does not point back into the table", 7},
        {"UnknownOperator", form("\x03\x01\x01\x61\x01\x01\x62\x00\x01\x02\x06"sv), "an unknown operator", 12},
        {"Surrogate", form("\x01\x01\x03\xED\xA0\x80"sv), "a text that is not UTF-8", 4},
        {"Overlong", form("\x01\x01\x02\xC0\x80"sv), "a text that is not UTF-8", 4},
        {"TextPastTheEnd", form("\x01\x01\x05\x61"sv), "a text longer than the bytes left", 4},
        {"CountPastTheEnd", form("\xff\xff\x03"sv), "more nodes than bytes", 2},
        {"OverlongNumber", form(std::string(11, '\xff')), "a truncated or overlong number", 2},
        {"BadBool", form("\x01\x07\x00\x02"sv), "a boolean that is neither 0 nor 1", 5},
        {"BadOptionKind", form("\x01\x07\x05"sv), "an unknown kind of option value", 4},
        {"BadVersion", form("\x01\x07\x04\x02\x31\x2e"sv), "a version that does not parse", 5},
        {"TwoRoots", form("\x01\x01\x01\x61\x02\x00\x00"sv), "a constraint that is not one tree", 9},
        {"RootOutsideTable", form("\x01\x01\x01\x61\x01\x01"sv), "a root that is not in the table", 7},
        {"TrailingBytes", form("\x01\x01\x01\x61\x01\x00\x00"sv), "bytes after the end", 8},
        {"BadMemberFlag", "\x01\x02\x03\x02"s, "a member flag that is neither 0 nor 1", 3},
    };
}

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, AtTheByteThatShowsIt) {
    const auto unpacked = unpack(GetParam().bytes);
    ASSERT_FALSE(unpacked.has_value());
    EXPECT_EQ(unpacked.error().reason, GetParam().reason);
    EXPECT_EQ(unpacked.error().offset, GetParam().offset);
}

INSTANTIATE_TEST_SUITE_P(Bytes, Refused, testing::ValuesIn(refusals()),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Refused, EveryTruncationOfAValidForm) {
    const std::string bytes = pack(cmp(num_of(depends("a"), value(1.5)), constraint::test::option("p", "o"), CmpType::Less));
    for (std::size_t n = 0; n < bytes.size(); ++n) EXPECT_FALSE(unpack(bytes.substr(0, n)).has_value()) << n;
}

}  // namespace
}  // namespace kelto::package::packed
