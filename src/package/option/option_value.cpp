#include "package/option/option_value.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string_view>
#include <system_error>

namespace kelto::package::option {

namespace {

// The longest shortest-digits scientific text of a double is
// "-2.2250738585072014e-308": 24 characters.
constexpr std::size_t kScientificBufferSize = 32;

// Enough for INT64_MIN with its sign.
constexpr std::size_t kIntBufferSize = std::numeric_limits<std::int64_t>::digits10 + 2;

void append_int_text(std::string& out, std::int64_t value) {
    char digits[kIntBufferSize];
    out.append(digits, std::to_chars(digits, digits + kIntBufferSize, value).ptr);
}

/// Reads the decimal exponent after the 'e' of to_chars' scientific output.
int parse_exponent(std::string_view text) noexcept {
    int exponent = 0;
    const char* first = text.data();
    if (*first == '+') ++first;  // from_chars takes a '-' but not a '+'
    std::from_chars(first, text.data() + text.size(), exponent);
    return exponent;
}

}  // namespace

void append_float_text(std::string& out, double value) {
    if (std::isnan(value)) {
        // Every NaN, whatever its sign or payload, reads the same.
        out.append("NaN");
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    // to_chars without a precision gives the shortest digits that read back to
    // the same double; the scientific form hands them over as d.ddde±x, which
    // we then lay out positionally ourselves. (The fixed form would print
    // large values with their exact binary digits: 1e23 as 99999999999999991611392.)
    char buffer[kScientificBufferSize];
    const auto [end, ec] = std::to_chars(buffer, buffer + kScientificBufferSize, value, std::chars_format::scientific);
    std::string_view text{buffer, static_cast<std::size_t>(end - buffer)};
    if (ec != std::errc{}) return;  // cannot happen: the buffer holds the longest text

    if (text.front() == '-') {  // -0.0 too: its text is "-0e+00"
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    const int exponent = parse_exponent(text.substr(e + 1));
    const char lead = text.front();
    // The digits after the point, if any ("2.5e+00" has "5"; "3e+00" has none).
    const std::string_view tail = e > 1 ? text.substr(2, e - 2) : std::string_view{};
    const auto digit_count = static_cast<std::ptrdiff_t>(1 + tail.size());
    // How many of the digits stand before the decimal point.
    const std::ptrdiff_t integer_digits = std::ptrdiff_t{exponent} + 1;

    if (integer_digits <= 0) {
        // 0.000ddd
        out.append("0.");
        out.append(static_cast<std::size_t>(-integer_digits), '0');
        out.push_back(lead);
        out.append(tail);
    } else if (integer_digits < digit_count) {
        // dd.ddd
        const auto split = static_cast<std::size_t>(integer_digits - 1);
        out.push_back(lead);
        out.append(tail.substr(0, split));
        out.push_back('.');
        out.append(tail.substr(split));
    } else {
        // ddd000, with no point: shortest digits never end in a fractional zero.
        out.push_back(lead);
        out.append(tail);
        out.append(static_cast<std::size_t>(integer_digits - digit_count), '0');
    }
}

std::string float_text(double value) {
    std::string out;
    append_float_text(out, value);
    return out;
}

void append_text(std::string& out, const SpecOptionValue& value) {
    switch (kind_of(value)) {
        case OptionKind::Bool: out.append(*std::get_if<bool>(&value) ? "true" : "false"); return;
        case OptionKind::Int: append_int_text(out, *std::get_if<std::int64_t>(&value)); return;
        case OptionKind::Float: append_float_text(out, *std::get_if<double>(&value)); return;
        case OptionKind::Str: out.append(*std::get_if<std::string>(&value)); return;
        case OptionKind::Version: package::version::append_plain_text(out, *std::get_if<package::version::Version>(&value)); return;
    }
}

}  // namespace kelto::package::option
