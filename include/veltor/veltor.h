/// @file
/// Everything a host program uses: the device, its channels, the timing modes
/// with their property records, the logic classes and the command record.
#pragma once

#include <veltor/CChLogic.h>
#include <veltor/CChannel.h>
#include <veltor/CClock.h>
#include <veltor/CCommand.h>
#include <veltor/CLogic.h>
#include <veltor/CLogicText.h>
#include <veltor/CSerDev.h>
#include <veltor/CSymbl.h>
#include <veltor/CTimingMode.h>
#include <veltor/CValidate.h>
#include <veltor/CVeltor.h>
#include <veltor/CountModes.h>
#include <veltor/DelayModes.h>
#include <veltor/Diagnostics.h>
#include <veltor/LogicWarnings.h>
#include <veltor/Ports.h>
#include <veltor/Props.h>
#include <veltor/SGeneral.h>
#include <veltor/SimpleModes.h>
#include <veltor/version.h>
