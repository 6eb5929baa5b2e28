// The clock-source codes of the channel pairs that host and instrument read
// alike. The instrument takes only the low two bits of a code, while the host
// converts times at 200 MHz for any code outside 0 to 3: with such a code the
// two would disagree on every time of the pair, so it is never sent and the
// offline checks report it.
#pragma once

#include <veltor/SGeneral.h>

#include <string>
#include <vector>

namespace veltor {

inline bool IsClockSource(int code) {
    return code >= 0 && code <= 3;
}

// What the four codes name, as the messages list them.
inline const char* ClockSourceNames() {
    return "0: 200 MHz, 1: 3.125 MHz, 2: twice the reference clock, 3: one sixty-fourth of "
           "source 2";
}

// One text per pair whose code names no clock, AB first: "the clock source
// of pair CD is 5; only 0 to 3 name a clock (0: 200 MHz, ...)".
inline std::vector<std::string> ClockSourceProblems(const SGeneral& general) {
    const struct {
        const char* pair;
        int code;
    } pairs[] = {{"AB", general.nClockAB},
                 {"CD", general.nClockCD},
                 {"EF", general.nClockEF},
                 {"GH", general.nClockGH}};
    std::vector<std::string> problems;
    for (const auto& pair : pairs) {
        if (!IsClockSource(pair.code)) {
            problems.push_back(std::string("the clock source of pair ") + pair.pair + " is " +
                               std::to_string(pair.code) + "; only 0 to 3 name a clock (" +
                               ClockSourceNames() + ")");
        }
    }
    return problems;
}

}  // namespace veltor
