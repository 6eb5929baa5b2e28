#include <veltor/SimpleModes.h>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

// The clock does not matter: these payloads carry no time.
long WriteSimple(unsigned char* buffer, unsigned char index, unsigned char code, bool invert) {
    SPayload payload;
    payload.nMode = code | Flag(invert, kInvertBit);
    return WritePayload(buffer, index, payload);
}

}  // namespace

long CNull::MakeCommand(unsigned char* buffer, CVeltor const*, char channel) {
    return WriteSimple(buffer, GetID(channel), kCodeNull, m_Null.bInvert);
}

long CPassive::MakeCommand(unsigned char* buffer, CVeltor const*, char channel) {
    return WriteSimple(buffer, GetID(channel), kCodePassive, m_Passive.bInvert);
}

long CToggle::MakeCommand(unsigned char* buffer, CVeltor const*, char channel) {
    return WriteSimple(buffer, GetID(channel), kCodeToggle, m_Toggle.bInvert);
}
