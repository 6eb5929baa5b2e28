/// @file
/// The three timing modes without times: each tells the instrument only which
/// behaviour the channel takes, and may invert the output. Their ranges and
/// checks are the base ones, so a channel always sends them. CNull is also the
/// device's shared default mode.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/Props.h>
#include <veltor/export.h>

/// Off: the output stays at its idle level. The default of every channel.
class VELTOR_API CNull : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SNullProp m_Null;  ///< inversion
};

/// Passive: the output is not driven by a timing function.
class VELTOR_API CPassive : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SPassiveProp m_Passive;  ///< inversion
};

/// Toggle: the output changes level at each trigger.
class VELTOR_API CToggle : public CTimingMode {
public:
    long MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) override;

    SToggleProp m_Toggle;  ///< inversion
};
