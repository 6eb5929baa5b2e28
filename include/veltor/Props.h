/// @file
/// The property records the timing modes embed: plain public fields with their
/// defaults, times in seconds. Copying a record copies every field, text
/// buffers in full.
#pragma once

#include <veltor/export.h>

/// Delay and duration of a pulse (CDelayDurate, CDynDelayDurate, CUpDown).
struct VELTOR_API SDlyProp {
    bool bInvert = false;      ///< inverts the output: it idles high, the pulse is low
    double dDelay = 2e-05;     ///< seconds from the trigger to the pulse (CUpDown: may be negative)
    double dDuration = 1e-05;  ///< length of the pulse in seconds
    bool bModeBit3 = false;    ///< an instrument option flag, sent as it is
};

/// Sweep (CDelayDurate, CDynDelayDurate). The sweep time is sent even while
/// the sweep is off; it is only checked while it is on.
struct VELTOR_API SSweepProp {
    bool bEnable = false;  ///< sweep on
    double dSweep = 0.0;   ///< the sweep time in seconds
};

/// Trigger options (CDelayDurate, CUpDown, CValidate).
struct VELTOR_API STriggerProp {
    bool bOption1 = false;    ///< trigger option 1
    bool bOption2 = true;     ///< trigger option 2 (CUpDown always has it on)
    int nKind = 0;            ///< trigger kind: 0 normal, 1 alternate, 2 plain
    int nValue = 0;           ///< trigger value; its low 24 bits are sent
    int nValueMode = 0;       ///< what the value does: 0 off, 1 on, anything else low
    bool bValueFlag = false;  ///< value flag; ignored while nValueMode is 0
};

/// Two text buffers for the host's own use; no mode embeds this record.
struct VELTOR_API SLogicProp {
    char szTextA[4096] = {};  ///< a text, ended by a zero byte
    char szTextB[4096] = {};  ///< a text, ended by a zero byte
};

/// An empty record, exported for the host; no mode embeds it.
struct VELTOR_API STProp {};

/// The single flag of CNull.
struct VELTOR_API SNullProp {
    bool bInvert = false;  ///< the output idles high instead of low
};

/// The single flag of CPassive.
struct VELTOR_API SPassiveProp {
    bool bInvert = false;  ///< the output idles high instead of low
};

/// The single flag of CToggle.
struct VELTOR_API SToggleProp {
    bool bInvert = false;  ///< the output starts high instead of low
};

/// The counting mode (CCount).
struct VELTOR_API SCounterProp {
    /// The counter selector, 0 to 255; CCount::ParseQuery decodes a reported
    /// count only while it is 0.
    unsigned char nMode = 0;
    bool bOption = false;    ///< for the host's own use; not sent
    double dMeasured = 0.0;  ///< seconds, from the last successful ParseQuery
    char szText[4096] = {};  ///< for the host's own use; not sent
    int nSetting = 0;        ///< for the host's own use; not sent
};

/// The scaling value of CUpDown: one of two values, 8 bits each.
struct VELTOR_API SScalingProp {
    bool bUseFirst = false;  ///< send nFirst (true) or nSecond (false)
    int nFirst = 16;         ///< the first scaling value
    int nSecond = 0;         ///< the second scaling value
};

/// The averaging of CDynDelayDurate.
struct VELTOR_API SAveragingProp {
    int nAverage = 0;  ///< averaging amount, 0 to 255 (higher bits are dropped)
};

/// Delay and duration of CValidate: the shape of SDlyProp, other defaults.
struct VELTOR_API SValidateProp {
    bool bInvert = false;      ///< inverts the output: it idles high, the pulse is low
    double dDelay = 3e-05;     ///< seconds from the trigger to the pulse
    double dDuration = 3e-05;  ///< length of the pulse in seconds
    bool bModeBit3 = false;    ///< an instrument option flag, sent as it is
};

/// The clock output (CClock): a square wave, high for dDelay and low for
/// dDuration.
struct VELTOR_API SClockProp {
    double dDelay = 1e-05;     ///< the high time in seconds
    double dDuration = 1e-05;  ///< the low time in seconds
    bool bInvert = false;      ///< the wave starts low
};
