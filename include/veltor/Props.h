// The property records the timing modes embed: plain public fields with their
// defaults. The implicit copy and move assignments copy every field, and the
// text buffers in full (all 4096 characters, not only up to the terminator).
#pragma once

#include <veltor/export.h>

// Delay and duration (CDelayDurate, CDynDelayDurate, CUpDown).
struct VELTOR_API SDlyProp {
    bool bInvert = false;      // mode byte bit 5
    double dDelay = 2e-05;     // seconds; payload bytes 6..9
    double dDuration = 1e-05;  // seconds; payload bytes 10..13
    bool bModeBit3 = false;    // mode byte bit 3
};

// Sweep (CDelayDurate, CDynDelayDurate). The sweep time is sent even while
// the sweep is off; it is only checked while it is on.
struct VELTOR_API SSweepProp {
    bool bEnable = false;  // mode byte bit 7
    double dSweep = 0.0;   // seconds; payload bytes 18..21
};

// Trigger options (CDelayDurate, CUpDown, CValidate).
struct VELTOR_API STriggerProp {
    bool bOption1 = false;    // option byte bit 1
    bool bOption2 = true;     // option byte bit 2 (CUpDown sets that bit always)
    int nKind = 0;            // 1: mode byte bit 6; anything but 2: mode byte bit 4
    int nValue = 0;           // low 24 bits in payload bytes 14..16
    int nValueMode = 0;       // payload byte 17: 0 -> 0x00, 1 -> 0x03, else 0x01
    bool bValueFlag = false;  // adds 0x04 to byte 17 unless nValueMode is 0
};

// Two text buffers for the host's own use; no mode embeds this record.
struct VELTOR_API SLogicProp {
    char szTextA[4096] = {};
    char szTextB[4096] = {};
};

// An empty record, exported for the host; no mode embeds it.
struct VELTOR_API STProp {};

// The single flag of each simple output mode: mode byte bit 5.
struct VELTOR_API SNullProp {
    bool bInvert = false;
};

struct VELTOR_API SPassiveProp {
    bool bInvert = false;
};

struct VELTOR_API SToggleProp {
    bool bInvert = false;
};

// The counting mode (CCount).
struct VELTOR_API SCounterProp {
    // Mode byte bits 4..7 are ((nMode - 1) * 16) mod 256; a reported count is
    // decoded only while it is 0.
    unsigned char nMode = 0;
    bool bOption = false;
    double dMeasured = 0.0;  // seconds, from the last successful ParseQuery
    char szText[4096] = {};
    int nSetting = 0;
};

// Which value goes into payload byte 5 of CUpDown (low 8 bits); bUseFirst
// also clears option byte bit 6.
struct VELTOR_API SScalingProp {
    bool bUseFirst = false;
    int nFirst = 16;
    int nSecond = 0;
};

// Averaging amount of CDynDelayDurate: low 8 bits in payload byte 5.
struct VELTOR_API SAveragingProp {
    int nAverage = 0;
};

// Delay and duration of CValidate: the shape of SDlyProp, other defaults.
struct VELTOR_API SValidateProp {
    bool bInvert = false;
    double dDelay = 3e-05;
    double dDuration = 3e-05;
    bool bModeBit3 = false;
};

// The clock output (CClock). With bInvert the two times change places on the
// wire as well as setting mode byte bit 5.
struct VELTOR_API SClockProp {
    double dDelay = 1e-05;
    double dDuration = 1e-05;
    bool bInvert = false;
};
