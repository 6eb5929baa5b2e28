// The timing modes a setup file can describe: their file names and field
// tables.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/SGeneral.h>

#include <string>

#include "setup/Fields.h"

namespace veltor::setup::detail {

// "delay, dyn-delay, ...", for messages.
std::string KnownModes();

// The fields of a mode of a known class (ModeName is not "custom").
void ReadFields(Reader& reader, CTimingMode& mode);
void WriteFields(Writer& writer, const CTimingMode& mode);

void ReadGeneral(Reader& reader, SGeneral& general);
void WriteGeneral(Writer& writer, const SGeneral& general);

}  // namespace veltor::setup::detail
