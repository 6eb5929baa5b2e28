/// @file
/// Device-wide general properties: the clock source of each channel pair, the
/// reference clock and the front-panel and output flags.
#pragma once

#include <veltor/export.h>

/// The device-wide general properties (CVeltor::GetPropA).
struct VELTOR_API SGeneral {
    SGeneral() = default;

    /// Clock-source codes of the pairs: 0 200 MHz, 1 3.125 MHz, 2 twice the
    /// reference, 3 one sixty-fourth of that. No other code names a clock:
    /// CmdSetClock refuses one, FindDeviceProblems lists it.
    int nClockAB = 0;
    int nClockCD = 0;                  ///< clock source of channels C and D
    int nClockEF = 0;                  ///< clock source of channels E and F
    int nClockGH = 0;                  ///< clock source of channels G and H
    double dRefClockHz = 100000000.0;  ///< the reference clock in Hz (sources 2 and 3)
    bool bLockFP = false;              ///< keep the front panel locked
    bool bDisableOutputs = false;      ///< keep the outputs off
};
