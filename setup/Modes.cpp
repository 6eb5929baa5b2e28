#include "setup/Modes.h"

#include <veltor/CClock.h>
#include <veltor/CValidate.h>
#include <veltor/CountModes.h>
#include <veltor/DelayModes.h>
#include <veltor/SimpleModes.h>

#include <type_traits>

namespace veltor::setup {

namespace {

using detail::kClockNames;
using detail::kKindNames;
using detail::kValueModeNames;

// The field tables. `V` is a detail::Reader or a detail::Writer, each record
// non-const or const accordingly; the order here is the order in the file.

template <class V, class R>
void Times(V& v, R& times) {
    v.Time("delay", times.dDelay);
    v.Time("duration", times.dDuration);
    v.Flag("invert", times.bInvert);
    v.Flag("modeBit3", times.bModeBit3);
}

template <class V, class R>
void Sweep(V& v, R& sweep) {
    v.Group("sweep", [&](auto& g) {
        g.Flag("enabled", sweep.bEnable);
        g.Time("time", sweep.dSweep);
    });
}

template <class V, class R>
void Trigger(V& v, R& trigger) {
    v.Group("trigger", [&](auto& g) {
        g.Coded("kind", trigger.nKind, kKindNames);
        g.Flag("option1", trigger.bOption1);
        g.Flag("option2", trigger.bOption2);
        g.Int("value", trigger.nValue);
        g.Coded("valueMode", trigger.nValueMode, kValueModeNames);
        g.Flag("valueFlag", trigger.bValueFlag);
    });
}

template <class V, class G>
void General(V& v, G& general) {
    v.Group("clocks", [&](auto& g) {
        g.Coded("AB", general.nClockAB, kClockNames);
        g.Coded("CD", general.nClockCD, kClockNames);
        g.Coded("EF", general.nClockEF, kClockNames);
        g.Coded("GH", general.nClockGH, kClockNames);
    });
    v.Number("referenceHz", general.dRefClockHz);
    // As the update leaves them.
    v.Word("outputs", general.bDisableOutputs, "off", "on");
    v.Word("panel", general.bLockFP, "locked", "unlocked");
    // Files written before these two took words.
    v.Former("outputsOff", "outputs", general.bDisableOutputs);
    v.Former("lockPanel", "panel", general.bLockFP);
}

// One per mode class: its name in the file and its fields. m_nReserved is
// the host's and stays out of the file; CCount's dMeasured is a measurement.
template <class T>
struct Kind;

template <>
struct Kind<CDelayDurate> {
    using Type = CDelayDurate;
    static constexpr const char* kName = "delay";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        Times(v, mode.m_Dly);
        Sweep(v, mode.m_Sweep);
        Trigger(v, mode.m_Trigger);
    }
};

template <>
struct Kind<CDynDelayDurate> {
    using Type = CDynDelayDurate;
    static constexpr const char* kName = "dyn-delay";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        Times(v, mode.m_Dly);
        Sweep(v, mode.m_Sweep);
        v.Int("average", mode.m_Averaging.nAverage);
    }
};

template <>
struct Kind<CToggle> {
    using Type = CToggle;
    static constexpr const char* kName = "toggle";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        v.Flag("invert", mode.m_Toggle.bInvert);
    }
};

template <>
struct Kind<CCount> {
    using Type = CCount;
    static constexpr const char* kName = "count";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        v.Byte("counterMode", mode.m_Counter.nMode);
        v.Flag("option", mode.m_Counter.bOption);
        v.Int("setting", mode.m_Counter.nSetting);
        v.Text("text", mode.m_Counter.szText);
    }
};

template <>
struct Kind<CUpDown> {
    using Type = CUpDown;
    static constexpr const char* kName = "up-down";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        Times(v, mode.m_Dly);
        Trigger(v, mode.m_Trigger);
        v.Group("scaling", [&](auto& g) {
            g.Flag("useFirst", mode.m_Scaling.bUseFirst);
            g.Int("first", mode.m_Scaling.nFirst);
            g.Int("second", mode.m_Scaling.nSecond);
        });
    }
};

template <>
struct Kind<CValidate> {
    using Type = CValidate;
    static constexpr const char* kName = "validate";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        Times(v, mode.m_Validate);
        Trigger(v, mode.m_Trigger);
    }
};

template <>
struct Kind<CClock> {
    using Type = CClock;
    static constexpr const char* kName = "clock";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        v.Time("delay", mode.m_Clock.dDelay);
        v.Time("duration", mode.m_Clock.dDuration);
        v.Flag("invert", mode.m_Clock.bInvert);
    }
};

template <>
struct Kind<CPassive> {
    using Type = CPassive;
    static constexpr const char* kName = "passive";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        v.Flag("invert", mode.m_Passive.bInvert);
    }
};

template <>
struct Kind<CNull> {
    using Type = CNull;
    static constexpr const char* kName = "null";
    template <class V, class M>
    static void Fields(V& v, M& mode) {
        v.Flag("invert", mode.m_Null.bInvert);
    }
};

// None of the nine classes derives from another, so the order decides
// nothing but the order of the names in messages.
template <class Fn>
void ForEachKind(Fn&& fn) {
    fn(Kind<CDelayDurate>{});
    fn(Kind<CDynDelayDurate>{});
    fn(Kind<CToggle>{});
    fn(Kind<CCount>{});
    fn(Kind<CUpDown>{});
    fn(Kind<CValidate>{});
    fn(Kind<CClock>{});
    fn(Kind<CPassive>{});
    fn(Kind<CNull>{});
}

// Calls fn(kind, typed mode) for the class `mode` is (or derives from); false
// when it is none of them. `Base` is CTimingMode or const CTimingMode.
template <class Base, class Fn>
bool Dispatch(Base& mode, Fn&& fn) {
    bool found = false;
    ForEachKind([&](auto kind) {
        using Concrete = typename decltype(kind)::Type;
        using Target = std::conditional_t<std::is_const_v<Base>, const Concrete, Concrete>;
        if (!found) {
            if (Target* typed = dynamic_cast<Target*>(&mode)) {
                found = true;
                fn(kind, *typed);
            }
        }
    });
    return found;
}

}  // namespace

const char* ModeName(const CTimingMode& mode) {
    const char* name = "custom";
    Dispatch(mode, [&](auto kind, const auto&) { name = decltype(kind)::kName; });
    return name;
}

std::unique_ptr<CTimingMode> MakeMode(const std::string& name) {
    std::unique_ptr<CTimingMode> made;
    ForEachKind([&](auto kind) {
        if (name == decltype(kind)::kName) {
            made = std::make_unique<typename decltype(kind)::Type>();
        }
    });
    return made;
}

std::unique_ptr<CTimingMode> CloneMode(const CTimingMode& mode) {
    std::unique_ptr<CTimingMode> copy;
    Dispatch(mode, [&](auto kind, const auto& typed) {
        copy = std::make_unique<typename decltype(kind)::Type>(typed);
    });
    return copy;
}

namespace detail {

std::string KnownModes() {
    std::string list;
    ForEachKind([&](auto kind) { list += (list.empty() ? "" : ", ") + std::string(kind.kName); });
    return list;
}

void ReadFields(Reader& reader, CTimingMode& mode) {
    Dispatch(mode, [&](auto kind, auto& typed) { decltype(kind)::Fields(reader, typed); });
}

void WriteFields(Writer& writer, const CTimingMode& mode) {
    Dispatch(mode, [&](auto kind, const auto& typed) { decltype(kind)::Fields(writer, typed); });
}

void ReadGeneral(Reader& reader, SGeneral& general) {
    General(reader, general);
}

void WriteGeneral(Writer& writer, const SGeneral& general) {
    General(writer, general);
}

}  // namespace detail

}  // namespace veltor::setup
