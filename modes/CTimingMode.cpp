#include <veltor/CTimingMode.h>

#include "modes/Payload.h"

using namespace veltor::modes;

CTimingMode::CTimingMode() : m_nReserved(0) {}

CTimingMode::CTimingMode(const CTimingMode& other) : m_nReserved(other.m_nReserved) {}

CTimingMode& CTimingMode::operator=(const CTimingMode& other) {
    m_nReserved = other.m_nReserved;
    return *this;
}

CTimingMode::~CTimingMode() = default;

namespace {

// A mode without times: every interval is the whole counter, nothing checked.
const TimeTable kNoTimes = {nullptr, 0};

}  // namespace

void CTimingMode::GetDurationRange(double* minimum, double* maximum, CVeltor const* device,
                                   char channel) const {
    const TimeTable* table = GetTimeTable();
    PutRowRange(table != nullptr ? *table : kNoTimes, "duration", minimum, maximum, device,
                channel);
}

void CTimingMode::GetDelayRange(double* minimum, double* maximum, CVeltor const* device,
                                char channel) const {
    const TimeTable* table = GetTimeTable();
    PutRowRange(table != nullptr ? *table : kNoTimes, "delay", minimum, maximum, device, channel);
}

bool CTimingMode::CheckParameters(CVeltor const* device, char channel) const {
    return GetTimeTable() == nullptr || AreRowsWithin(*this, device, channel);
}

long CTimingMode::MakeCommand(unsigned char*, CVeltor const*, char) {
    return 0;
}

unsigned int CTimingMode::GetClicks(double seconds, CVeltor const* device, char channel) const {
    return CountsAt(ClockHz(device, channel), seconds);
}

double CTimingMode::GetRealTime(unsigned int counts, CVeltor const* device, char channel) const {
    return SecondsAt(ClockHz(device, channel), counts);
}

int CTimingMode::GetTimeParameters(STimeParameter* parameters, int capacity, CVeltor const* device,
                                   char channel, bool onlyFailing) const {
    const TimeTable* table = GetTimeTable();
    if (table == nullptr) {
        return 0;
    }
    return PutTimeParameters(*this, *table, onlyFailing, parameters, capacity, device, channel);
}

const TimeTable* CTimingMode::GetTimeTable() const {
    return nullptr;
}

unsigned char CTimingMode::GetID(char channel) const {
    if (channel >= 'A' && channel <= 'H') {
        return static_cast<unsigned char>(channel - 'A');
    }
    if (channel >= 'a' && channel <= 'h') {
        return static_cast<unsigned char>(channel - 'a');
    }
    return 0xFF;
}
