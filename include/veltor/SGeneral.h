// Device-wide general properties: the clock source of each channel pair, the
// reference clock and the front-panel and output flags.
#pragma once

#include <veltor/export.h>

struct VELTOR_API SGeneral {
    SGeneral() = default;

    // Clock-source codes of the pairs: 0 200 MHz, 1 3.125 MHz, 2 twice the
    // reference, 3 one sixty-fourth of that; any other value 200 MHz on the
    // host (only the low two bits reach the instrument).
    int nClockAB = 0;
    int nClockCD = 0;
    int nClockEF = 0;
    int nClockGH = 0;
    double dRefClockHz = 100000000.0;
    bool bLockFP = false;
    bool bDisableOutputs = false;
};
