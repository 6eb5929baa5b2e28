#include <veltor/CValidate.h>

#include "modes/Payload.h"

using namespace veltor::modes;

namespace {

const TimeRow kRows[] = {
    {"delay", Field<CValidate, SValidateProp, &CValidate::m_Validate, &SValidateProp::dDelay>, 512,
     kMaxCounts, nullptr},
    {"duration", Field<CValidate, SValidateProp, &CValidate::m_Validate, &SValidateProp::dDuration>,
     1536, kMaxCounts, nullptr},
};
const TimeTable kTable = {kRows, 2};

}  // namespace

const TimeTable* CValidate::GetTimeTable() const {
    return &kTable;
}

long CValidate::MakeCommand(unsigned char* buffer, CVeltor const* device, char channel) {
    SPayload payload;
    payload.nMode = kCodeDelay | TimesFlags(m_Validate);
    payload.nOption = kValidateOptionBit | Flag(m_Trigger.bOption2, kOption2Bit);
    PutTimes(payload, m_Validate.dDelay, m_Validate.dDuration, device, channel);
    PutTrigger(payload, m_Trigger);
    return WritePayload(buffer, GetID(channel), payload);
}
