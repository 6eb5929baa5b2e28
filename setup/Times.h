// Times as people type them: a number of seconds, or a number with a unit
// ("1.5 us", "1.5µs", "10 ns", "1ms", "2 s"). The one parser for setup files
// and the tool's time options.
#pragma once

#include <stdexcept>
#include <string>

namespace veltor::setup {

// "s, ms, us, µs, ns", for messages.
extern const char* const kTimeUnits;
// "expected a time: a number of seconds or a number with a unit (...), as in
// \"1.5 us\"": what ParseTime says when it refuses a text.
std::string ExpectedTime();

// Seconds. The number may have a sign, a fraction and an exponent; spaces may
// stand around it and before the unit; no unit means seconds. The unit moves
// the decimal exponent, so "1.5 us" gives the same double as 1.5e-6. Throws
// std::invalid_argument for anything else (its message names the accepted
// forms) or for a time too large for a double; the caller adds where the
// text came from and the text itself.
double ParseTime(const std::string& text);

}  // namespace veltor::setup
