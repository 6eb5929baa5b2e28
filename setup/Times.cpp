#include "setup/Times.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace veltor::setup {

const char* const kTimeUnits = "s, ms, us, \u00B5s, ns";

std::string ExpectedTime() {
    return "expected a time: a number of seconds or a number with a unit (" +
           std::string(kTimeUnits) + "), as in \"1.5 us\"";
}

namespace {

struct Unit {
    const char* name;
    int exponent;
};

// The micro sign (U+00B5) is what keyboards type for µ; the Greek mu
// (U+03BC) looks the same and comes from other input methods.
const Unit kUnits[] = {
    {"s", 0}, {"ms", -3}, {"us", -6}, {"\u00B5s", -6}, {"\u03BCs", -6}, {"ns", -9},
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

std::invalid_argument Refuse() {
    return std::invalid_argument(ExpectedTime());
}

// The length of the digits at `at`.
std::size_t Digits(const std::string& text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && IsDigit(text[end])) {
        ++end;
    }
    return end - at;
}

}  // namespace

double ParseTime(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    // The mantissa: sign, digits, point, digits (at least one digit in all).
    std::string mantissa;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        // from_chars takes no '+'.
        if (text[at] == '-') {
            mantissa += '-';
        }
        ++at;
    }
    const std::size_t whole = Digits(text, at);
    mantissa += text.substr(at, whole);
    at += whole;
    std::size_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        fraction = Digits(text, at + 1);
        mantissa += text.substr(at, fraction + 1);
        at += fraction + 1;
    }
    if (whole + fraction == 0) {
        throw Refuse();
    }
    long exponent = 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t digitsAt = at + 1;
        if (digitsAt < text.size() && (text[digitsAt] == '+' || text[digitsAt] == '-')) {
            ++digitsAt;
        }
        const std::size_t count = Digits(text, digitsAt);
        // More digits than this overflow any double anyway.
        if (count == 0 || count > 6) {
            throw Refuse();
        }
        exponent = std::strtol(text.substr(at + 1, digitsAt + count - at - 1).c_str(), nullptr, 10);
        at = digitsAt + count;
    }
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    std::size_t end = text.size();
    while (end > at && IsSpace(text[end - 1])) {
        --end;
    }
    const std::string unit = text.substr(at, end - at);
    if (!unit.empty()) {
        const Unit* found = nullptr;
        for (const Unit& known : kUnits) {
            if (unit == known.name) {
                found = &known;
            }
        }
        if (found == nullptr) {
            throw Refuse();
        }
        exponent += found->exponent;
    }
    // Written out again with the unit's exponent, the number is rounded to a
    // double once, as if it had been typed in seconds.
    const std::string seconds = mantissa + "e" + std::to_string(exponent);
    double value = 0.0;
    const auto parsed = std::from_chars(seconds.data(), seconds.data() + seconds.size(), value);
    // Out of range below the smallest double (the number's leading digit far
    // right of the point) reads as zero, as a JSON reader gives.
    if (parsed.ec == std::errc::result_out_of_range && exponent + static_cast<long>(whole) < 0) {
        return mantissa[0] == '-' ? -0.0 : 0.0;
    }
    if (parsed.ec != std::errc() || parsed.ptr != seconds.data() + seconds.size() ||
        !std::isfinite(value)) {
        throw std::invalid_argument("a time too large for a double");
    }
    return value;
}

}  // namespace veltor::setup
