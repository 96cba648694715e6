#include "package/option/option_value.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kelto::package::option {
namespace {

// Every double whose float text was checked against the properties below,
// summed over the whole run and printed at its end.
std::uint64_t float_cases_checked = 0;

class FloatCaseReport : public testing::Environment {
public:
    void TearDown() override {
        if (float_cases_checked > 0) {
            std::printf("float text: %llu doubles checked\n", static_cast<unsigned long long>(float_cases_checked));
        }
    }
};
[[maybe_unused]] testing::Environment* const kFloatCaseReport =
    testing::AddGlobalTestEnvironment(new FloatCaseReport);

std::string bits_of(double value) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return hex;
}

/// The significant digits of a decimal text: sign, point, exponent and the
/// zeros at either end dropped ("-0.00120" and "1.2e-03" both give "12").
std::string significant_digits(std::string_view text) {
    if (const auto e = text.find_first_of("eE"); e != std::string_view::npos) text = text.substr(0, e);
    std::string digits;
    for (const char c : text) {
        if (c >= '0' && c <= '9') digits.push_back(c);
    }
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    const auto last = digits.find_last_not_of('0');
    return digits.substr(first, last - first + 1);
}

/// Checks the float text of a finite `value`: positional, reads back to the
/// same bits, and carries exactly the shortest round-trip digits.
void check_float_text(double value) {
    ++float_cases_checked;
    const std::string text = float_text(value);
    SCOPED_TRACE(bits_of(value) + " -> " + text);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos);
    ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos);
    ASSERT_EQ(text.front() == '-', std::signbit(value));
    // A point only when there is a fractional part, and never a trailing zero after it.
    if (const auto point = text.find('.'); point != std::string::npos) {
        ASSERT_NE(text.back(), '0');
        ASSERT_NE(text.back(), '.');
        ASSERT_NE(std::trunc(value), value);
    } else {
        ASSERT_EQ(std::trunc(value), value);
    }
    // No leading zero in the integer digits, except the lone zero of "0.x" and "0".
    const std::size_t start = text.front() == '-' ? 1 : 0;
    ASSERT_TRUE(text[start] != '0' || text.size() == start + 1 || text[start + 1] == '.');

    double back = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(ec, std::errc{});
    ASSERT_EQ(end, text.data() + text.size());
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(value));

    char shortest[64];
    const auto r = std::to_chars(shortest, shortest + sizeof shortest, value, std::chars_format::scientific);
    ASSERT_EQ(significant_digits(text), significant_digits(std::string_view{shortest, r.ptr}));
}

struct FloatCase {
    double value;
    std::string_view text;
};

void PrintTo(const FloatCase& c, std::ostream* os) { *os << bits_of(c.value) << " \"" << c.text << '"'; }

class FloatTextExact : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatTextExact, WritesTheText) {
    const FloatCase& c = GetParam();
    EXPECT_EQ(float_text(c.value), c.text);
    if (std::isfinite(c.value)) check_float_text(c.value);
}

std::string zeros(std::size_t n) { return std::string(n, '0'); }

// Texts built at static initialisation so that the table below can point at them.
const std::string k1e20 = "1" + zeros(20);
const std::string k1e23 = "1" + zeros(23);
const std::string kTrueMin = "0." + zeros(323) + "5";
const std::string kMinNormal = "0." + zeros(307) + "22250738585072014";
const std::string kMax = "17976931348623157" + zeros(292);
const std::string kMinusMax = "-" + kMax;
const std::string kLargestSubnormal = "0." + zeros(307) + "2225073858507201";

INSTANTIATE_TEST_SUITE_P(
    Values, FloatTextExact,
    testing::Values(
        FloatCase{3.0, "3"}, FloatCase{-3.0, "-3"}, FloatCase{2.5, "2.5"}, FloatCase{-2.5, "-2.5"},
        FloatCase{0.0, "0"}, FloatCase{-0.0, "-0"}, FloatCase{0.1, "0.1"}, FloatCase{1e-7, "0.0000001"},
        FloatCase{0.1 + 0.2, "0.30000000000000004"}, FloatCase{123.456, "123.456"}, FloatCase{10.0, "10"},
        FloatCase{1e20, k1e20}, FloatCase{1e23, k1e23}, FloatCase{0x1p70, "1180591620717411300000"},
        FloatCase{9007199254740992.0, "9007199254740992"}, FloatCase{9007199254740993.0, "9007199254740992"},
        FloatCase{9007199254740994.0, "9007199254740994"},
        // Shortest digits, not the exact binary value: 2^63 is 9223372036854775808.
        FloatCase{0x1p63, "9223372036854776000"},
        FloatCase{0x1p64, "18446744073709552000"},
        FloatCase{DBL_TRUE_MIN, kTrueMin}, FloatCase{DBL_MIN, kMinNormal},
        FloatCase{DBL_MIN - DBL_TRUE_MIN, kLargestSubnormal}, FloatCase{DBL_MAX, kMax},
        FloatCase{-DBL_MAX, kMinusMax}, FloatCase{0.5, "0.5"}, FloatCase{1.0 / 3.0, "0.3333333333333333"},
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FloatCase{std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}), "NaN"},  // signalling
        FloatCase{std::bit_cast<double>(std::uint64_t{0xfff8000000000123}), "NaN"},
        FloatCase{std::numeric_limits<double>::infinity(), "inf"},
        FloatCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(FloatText, AppendsToWhatTheBufferHolds) {
    std::string out = "x=";
    append_float_text(out, 1e-7);
    EXPECT_EQ(out, "x=0.0000001");
}

TEST(FloatText, PowersOfTenAcrossTheWholeRange) {
    for (int exponent = -323; exponent <= 308; ++exponent) {
        const std::string written = "1e" + std::to_string(exponent);
        double value = 0;
        std::from_chars(written.data(), written.data() + written.size(), value);
        SCOPED_TRACE(written);
        check_float_text(value);
        check_float_text(-value);
        // The neighbours of each power need every one of their digits.
        check_float_text(std::nextafter(value, 0.0));
        check_float_text(std::nextafter(value, DBL_MAX));
        if (exponent >= -307) {
            // Normal range: exactly "1" with the point or zeros around it.
            const std::string text = float_text(value);
            const std::string expected = exponent >= 0 ? "1" + zeros(static_cast<std::size_t>(exponent))
                                                       : "0." + zeros(static_cast<std::size_t>(-exponent - 1)) + "1";
            ASSERT_EQ(text, expected);
        }
    }
}

TEST(FloatText, IntegersAroundThePrecisionLimits) {
    for (int shift = 0; shift <= 1023; ++shift) {
        const double power = std::ldexp(1.0, shift);
        for (const double value : {power, power - 1, power + 1, std::nextafter(power, 0.0), std::nextafter(power, DBL_MAX)}) {
            check_float_text(value);
        }
    }
    // Every integer up to 2^53 is exact, and its text is its decimal digits.
    std::mt19937_64 rng{53};
    for (int i = 0; i < 20'000; ++i) {
        const std::uint64_t n = rng() >> 11;
        check_float_text(static_cast<double>(n));
        ASSERT_EQ(float_text(static_cast<double>(n)), std::to_string(n));
    }
}

TEST(FloatText, SubnormalsAndTheNormalBoundary) {
    for (std::uint64_t bits = 1; bits < 5'000; ++bits) check_float_text(std::bit_cast<double>(bits));
    for (const std::uint64_t top : {std::uint64_t{0x000fffffffffffff}, std::uint64_t{0x0010000000000000}}) {
        for (std::uint64_t delta = 0; delta < 2'000; ++delta) {
            check_float_text(std::bit_cast<double>(top - delta));
            check_float_text(std::bit_cast<double>(top + delta));
        }
    }
    for (std::uint64_t bits = 0x7fefffffffffffff - 2'000; bits <= 0x7fefffffffffffff; ++bits) {
        check_float_text(std::bit_cast<double>(bits));
    }
}

std::uint64_t test_seed() {
    // KELTO_TEST_SEED replays a failure reported by an earlier run.
    if (const char* text = std::getenv("KELTO_TEST_SEED")) return std::strtoull(text, nullptr, 10);
    return std::random_device{}();
}

TEST(FloatText, RandomBitPatterns) {
    const std::uint64_t seed = test_seed();
    SCOPED_TRACE("KELTO_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng{seed};
    for (int i = 0; i < 300'000; ++i) {
        const auto value = std::bit_cast<double>(rng());
        if (std::isnan(value)) {
            ASSERT_EQ(float_text(value), "NaN");
        } else if (std::isinf(value)) {
            ASSERT_EQ(float_text(value), value < 0 ? "-inf" : "inf");
        } else {
            check_float_text(value);
        }
        if (HasFatalFailure()) return;
    }
}

// A decimal of at most 15 significant digits in the normal range reads as a
// double whose shortest digits are its own, so its text is known without
// consulting to_chars: the digits laid out around the point by hand here.
TEST(FloatText, ShortDecimalsReadBackAsWritten) {
    const std::uint64_t seed = test_seed();
    SCOPED_TRACE("KELTO_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng{seed};
    std::uniform_int_distribution<int> length{1, 15};
    std::uniform_int_distribution<int> digit{0, 9};
    std::uniform_int_distribution<int> exponent{-290, 290};
    for (int i = 0; i < 100'000; ++i) {
        std::string digits;
        for (int n = length(rng); n > 0; --n) digits.push_back(static_cast<char>('0' + digit(rng)));
        digits.front() = static_cast<char>('1' + digit(rng) % 9);
        while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
        const int e = exponent(rng);  // the value is 0.<digits> * 10^e
        const std::string written = "0." + digits + "e" + std::to_string(e);
        std::string expected;
        const auto n = static_cast<int>(digits.size());
        if (e <= 0) {
            expected = "0." + zeros(static_cast<std::size_t>(-e)) + digits;
        } else if (e < n) {
            expected = digits.substr(0, static_cast<std::size_t>(e)) + "." + digits.substr(static_cast<std::size_t>(e));
        } else {
            expected = digits + zeros(static_cast<std::size_t>(e - n));
        }
        double value = 0;
        std::from_chars(written.data(), written.data() + written.size(), value);
        SCOPED_TRACE(written);
        ++float_cases_checked;
        ASSERT_EQ(float_text(value), expected);
        ASSERT_EQ(float_text(-value), "-" + expected);
    }
}

// ---------------------------------------------------------------------------

struct TextCase {
    std::string_view name;
    SpecOptionValue value;
    std::string_view text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class OptionValueText : public testing::TestWithParam<TextCase> {};

TEST_P(OptionValueText, WritesTheText) {
    const TextCase& c = GetParam();
    std::string out = "v=";
    append_text(out, c.value);
    EXPECT_EQ(out, "v=" + std::string{c.text});
}

package::version::Version version(std::string_view text) { return *package::version::parse_version(text); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, OptionValueText,
    testing::Values(TextCase{"true", true, "true"}, TextCase{"false", false, "false"},
                    TextCase{"zero", std::int64_t{0}, "0"}, TextCase{"minus 42", std::int64_t{-42}, "-42"},
                    TextCase{"int64 min", std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
                    TextCase{"int64 max", std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
                    TextCase{"float", 2.5, "2.5"}, TextCase{"float nan", std::nan(""), "NaN"},
                    TextCase{"str with quotes", std::string{R"(say "hi" 'x' \n)"}, R"(say "hi" 'x' \n)"},
                    TextCase{"str with space", std::string{"a b"}, "a b"},
                    TextCase{"empty str", std::string{}, ""}, TextCase{"str utf8", std::string{"\xc3\xa9t\xc3\xa9"}, "\xc3\xa9t\xc3\xa9"},
                    TextCase{"version", version("01.002-rc1+b.*"), "1.2-rc1+b.*"},
                    TextCase{"version rest", version("2.>"), "2.>"}));

}  // namespace
}  // namespace kelto::package::option
