// The class-wide default timing mode, shared by every device of a program:
// one the devices make and keep while any of them lives, installed by a
// device made while none is installed, taken away with the last. A default
// the host installs stays the host's, and stays installed.
#pragma once

#include <mutex>

namespace veltor {

// Guards the class-wide default (CChannel::SetDefaultTimingMode) and the
// devices' own default.
std::recursive_mutex& DefaultModeLock();

// A device is made: the devices' default exists, and is installed unless
// another default is.
void AdoptDeviceDefault();
// A device is gone: with the last, the devices' default is taken away (and
// out of place, if it is installed) and deleted.
void ReleaseDeviceDefault();

}  // namespace veltor
