// The nine timing modes: each kind's C record and the mode object the device
// keeps for a channel. Each record is mapped to its mode's property records
// once (Visit), in both directions.
#include <veltor/CChannel.h>
#include <veltor/CClock.h>
#include <veltor/CValidate.h>
#include <veltor/CountModes.h>
#include <veltor/DelayModes.h>
#include <veltor/Diagnostics.h>
#include <veltor/SimpleModes.h>

#include <type_traits>
#include <utility>

#include "capi/Internal.h"

using veltor::capi::Fail;
using veltor::capi::FindChannel;
using veltor::capi::Guard;
using veltor::capi::NullArgument;

namespace {

// Visit calls f(record field, mode field) for every field of a kind; the
// record may be const (it is read) or not (it is written).
template <typename T, typename F>
void VisitTrigger(T& t, STriggerProp& p, F&& f) {
    f(t.option1, p.bOption1);
    f(t.option2, p.bOption2);
    f(t.kind, p.nKind);
    f(t.value, p.nValue);
    f(t.value_mode, p.nValueMode);
    f(t.value_flag, p.bValueFlag);
}

template <typename R, typename D, typename F>
void VisitDly(R& r, D& d, F&& f) {
    f(r.delay, d.dDelay);
    f(r.duration, d.dDuration);
    f(r.invert, d.bInvert);
    f(r.mode_bit3, d.bModeBit3);
}

template <typename R, typename F>
void Visit(R& r, CNull& m, F&& f) {
    f(r.invert, m.m_Null.bInvert);
}
template <typename R, typename F>
void Visit(R& r, CPassive& m, F&& f) {
    f(r.invert, m.m_Passive.bInvert);
}
template <typename R, typename F>
void Visit(R& r, CToggle& m, F&& f) {
    f(r.invert, m.m_Toggle.bInvert);
}
template <typename R, typename F>
void Visit(R& r, CDelayDurate& m, F&& f) {
    VisitDly(r, m.m_Dly, f);
    f(r.sweep_enable, m.m_Sweep.bEnable);
    f(r.sweep, m.m_Sweep.dSweep);
    VisitTrigger(r.trigger, m.m_Trigger, f);
}
template <typename R, typename F>
void Visit(R& r, CDynDelayDurate& m, F&& f) {
    VisitDly(r, m.m_Dly, f);
    f(r.sweep_enable, m.m_Sweep.bEnable);
    f(r.sweep, m.m_Sweep.dSweep);
    f(r.average, m.m_Averaging.nAverage);
}
template <typename R, typename F>
void Visit(R& r, CCount& m, F&& f) {
    f(r.counter_mode, m.m_Counter.nMode);
    f(r.option, m.m_Counter.bOption);
    f(r.setting, m.m_Counter.nSetting);
}
template <typename R, typename F>
void Visit(R& r, CUpDown& m, F&& f) {
    VisitDly(r, m.m_Dly, f);
    f(r.use_first, m.m_Scaling.bUseFirst);
    f(r.first, m.m_Scaling.nFirst);
    f(r.second, m.m_Scaling.nSecond);
    VisitTrigger(r.trigger, m.m_Trigger, f);
}
template <typename R, typename F>
void Visit(R& r, CValidate& m, F&& f) {
    VisitDly(r, m.m_Validate, f);
    VisitTrigger(r.trigger, m.m_Trigger, f);
}
template <typename R, typename F>
void Visit(R& r, CClock& m, F&& f) {
    f(r.delay, m.m_Clock.dDelay);
    f(r.duration, m.m_Clock.dDuration);
    f(r.invert, m.m_Clock.bInvert);
}

const auto kToRecord = [](auto& field, const auto& property) {
    field = static_cast<std::remove_reference_t<decltype(field)>>(property);
};
const auto kToMode = [](const auto& field, auto& property) {
    property = static_cast<std::remove_reference_t<decltype(property)>>(field);
};

struct Kind {
    size_t size;  // the record's size this library knows
    void (*defaults)(void* record);
    CTimingMode* (*make)(const void* record);
};

template <typename Record, typename Mode>
Kind KindOf() {
    return {sizeof(Record),
            [](void* record) {
                Mode mode;
                Visit(*static_cast<Record*>(record), mode, kToRecord);
            },
            [](const void* record) -> CTimingMode* {
                Mode* mode = new Mode;
                Visit(*static_cast<const Record*>(record), *mode, kToMode);
                return mode;
            }};
}

// In the order of veltor_mode_kind.
const Kind kKinds[] = {
    KindOf<veltor_mode_output, CNull>(),
    KindOf<veltor_mode_output, CPassive>(),
    KindOf<veltor_mode_output, CToggle>(),
    KindOf<veltor_mode_delay, CDelayDurate>(),
    KindOf<veltor_mode_dyn_delay, CDynDelayDurate>(),
    KindOf<veltor_mode_count, CCount>(),
    KindOf<veltor_mode_updown, CUpDown>(),
    KindOf<veltor_mode_validate, CValidate>(),
    KindOf<veltor_mode_clock, CClock>(),
};
const int kKindCount = static_cast<int>(sizeof(kKinds) / sizeof(kKinds[0]));

// The kind's entry, or null with the thread's message set.
const Kind* FindKind(int kind) {
    if (kind < 0 || kind >= kKindCount) {
        Fail(VELTOR_INVALID_ARGUMENT, "no timing mode kind " + std::to_string(kind));
        return nullptr;
    }
    return &kKinds[kind];
}

// A later version that grows a record accepts the sizes of the earlier
// ones as well; this one knows one size per record.
bool KnownSize(const Kind& kind, size_t size) {
    return size == kind.size;
}

veltor_status UnknownSize(size_t size) {
    return Fail(VELTOR_INVALID_ARGUMENT,
                "record size " + std::to_string(size) +
                    " is not the size of this kind's record (set size = sizeof the record)");
}

}  // namespace

extern "C" {

VELTOR_API veltor_status VELTOR_CALL veltor_mode_defaults(int kind, void* record, size_t size) {
    return Guard([&] {
        if (record == nullptr) {
            return NullArgument("record");
        }
        const Kind* entry = FindKind(kind);
        if (entry == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        if (!KnownSize(*entry, size)) {
            return UnknownSize(size);
        }
        entry->defaults(record);
        *static_cast<size_t*>(record) = size;
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_set_mode(veltor_device* device, char letter,
                                                             int kind, const void* record) {
    return Guard([&] {
        if (record == nullptr) {
            return NullArgument("record");
        }
        CChannel* channel = FindChannel(device, letter);
        const Kind* entry = channel != nullptr ? FindKind(kind) : nullptr;
        if (entry == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        const size_t size = *static_cast<const size_t*>(record);
        if (!KnownSize(*entry, size)) {
            return UnknownSize(size);
        }
        std::unique_ptr<CTimingMode> mode(entry->make(record));
        // Commands hold the lock while they use a mode: the old one is free
        // once it is detached.
        CSerDev::Hold hold(device->device);
        channel->SetTimingMode(mode.get());
        device->modes[veltor::capi::ChannelIndex(letter)] = std::move(mode);
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_clear_mode(veltor_device* device, char letter) {
    return Guard([&] {
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        CSerDev::Hold hold(device->device);
        channel->SetTimingMode(nullptr);
        device->modes[veltor::capi::ChannelIndex(letter)].reset();
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_check_mode(veltor_device* device, char letter) {
    return Guard([&] {
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        CSerDev::Hold hold(device->device);
        if (channel->CheckParameters()) {
            return VELTOR_OK;
        }
        const CTimingMode* mode = channel->GetTimingMode();
        if (mode == nullptr) {
            return Fail(VELTOR_REJECTED, "no timing mode: none is set and no default is installed");
        }
        std::string text;
        for (const std::string& problem :
             veltor::FindParameterProblems(*mode, &device->device, letter)) {
            text += (text.empty() ? "" : "; ") + problem;
        }
        const char name = static_cast<char>('A' + veltor::capi::ChannelIndex(letter));
        return Fail(VELTOR_REJECTED, std::string("channel ") + name + ": " + text);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_channel_send_mode(veltor_device* device, char letter) {
    return Guard([&] {
        CChannel* channel = FindChannel(device, letter);
        if (channel == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        return veltor::capi::RunCommand(device, [&] { return channel->CmdSetTimingMode(); });
    });
}

}  // extern "C"
