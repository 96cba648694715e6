// Reads the input as a run of doubles (eight bytes each, any bit pattern) and
// checks the positional float text of each: NaN and the infinities have their
// fixed words; every other value is written as [-]digits[.digits] with no
// exponent, no superfluous zeros, as few significant digits as the shortest
// round-trip form has, and reads back to the very same bits.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "package/option/option_value.hpp"

namespace {

void check(bool condition, const char* what, double value, std::string_view text) {
    if (condition) return;
    std::fprintf(stderr, "float_text_fuzz: %s (bits %016llx, text \"%.*s\")\n", what,
                 static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)),
                 static_cast<int>(text.size()), text.data());
    std::abort();
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number of significant digits of the shortest round-trip form.
std::size_t shortest_digits(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
    const std::string_view text{buffer, static_cast<std::size_t>(result.ptr - buffer)};
    const std::string_view mantissa = text.substr(0, text.find('e'));
    return mantissa.size() == 1 ? 1 : mantissa.size() - 1;
}

void check_value(double value) {
    const std::string text = kelto::package::option::float_text(value);
    if (std::isnan(value)) {
        check(text == "NaN", "every NaN reads NaN", value, text);
        return;
    }
    if (std::isinf(value)) {
        check(text == (value < 0 ? "-inf" : "inf"), "infinities read inf and -inf", value, text);
        return;
    }

    // Shape: [-]D+(.D+)?, never an exponent.
    std::string_view rest = text;
    const bool negative = !rest.empty() && rest.front() == '-';
    if (negative) rest.remove_prefix(1);
    check(negative == std::signbit(value), "a minus sign exactly for negative values and -0", value, text);
    const std::size_t point = rest.find('.');
    const std::string_view whole = rest.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view{} : rest.substr(point + 1);
    check(!whole.empty(), "digits before the point", value, text);
    for (char c : whole) check(is_digit(c), "only digits before the point", value, text);
    for (char c : fraction) check(is_digit(c), "only digits after the point", value, text);
    check(whole.size() == 1 || whole.front() != '0', "no leading zero", value, text);
    if (point != std::string_view::npos) {
        check(!fraction.empty() && fraction.back() != '0', "no trailing zero after the point", value, text);
    }

    // Round trip: the same bits, the sign of zero included.
    double back = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), back, std::chars_format::fixed);
    check(result.ec == std::errc{} && result.ptr == text.data() + text.size(), "the text reads back", value, text);
    check(std::bit_cast<std::uint64_t>(back) == std::bit_cast<std::uint64_t>(value), "the text reads back to the same bits",
          value, text);

    // Shortest: as many significant digits as the shortest scientific form.
    std::string digits{whole};
    digits.append(fraction);
    const std::size_t first = digits.find_first_not_of('0');
    std::size_t significant = 1;
    if (first != std::string::npos) {
        const std::size_t last = digits.find_last_not_of('0');
        significant = last - first + 1;
    }
    check(significant == shortest_digits(value), "the shortest significant digits", value, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (std::size_t pos = 0; pos < size; pos += 8) {
        std::uint8_t bytes[8] = {};
        std::memcpy(bytes, data + pos, size - pos < 8 ? size - pos : 8);
        check_value(std::bit_cast<double>(bytes));
    }
    return 0;
}
