#include "tools/Diagram.h"

#include <veltor/CChannel.h>
#include <veltor/CClock.h>
#include <veltor/CValidate.h>
#include <veltor/CVeltor.h>
#include <veltor/CountModes.h>
#include <veltor/DelayModes.h>
#include <veltor/SimpleModes.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "setup/Setup.h"

namespace veltor::tools {

namespace diagram {

namespace {

constexpr double kDefaultSpan = 100e-6;
// Beyond this many clock periods over the axis a wave is no more than a
// smear of lines: it is drawn as a band instead (and the trace stays small).
constexpr double kMaxCycles = 200.0;

bool IsUsableClock(double hz) {
    return std::isfinite(hz) && hz > 0.0;
}

// The modes' own rounding: the product first, then the half, saturating.
std::uint32_t CountsAt(double hz, double seconds) {
    const double counts = hz * seconds + 0.5;
    if (!(counts > 0.0)) {
        return 0;
    }
    if (counts >= 4294967296.0) {
        return 0xFFFFFFFFu;
    }
    return static_cast<std::uint32_t>(counts);
}

// The up/down delay goes out as a 32-bit two's complement count, and the
// instrument reads it back as a signed one.
double SignedOnWire(double seconds, double hz) {
    if (!IsUsableClock(hz)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const std::uint32_t word = seconds > 0.0 ? CountsAt(hz, seconds) : 0u - CountsAt(hz, -seconds);
    return static_cast<double>(static_cast<std::int32_t>(word)) / hz;
}

// m times ten to the power e, as near the decimal value as a double gets
// (dividing by an exact power of ten rather than multiplying by an inexact
// negative one).
double Decimal(double m, int e) {
    return e >= 0 ? m * std::pow(10.0, e) : m / std::pow(10.0, -e);
}

std::string Fixed(double value, int decimals) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ptr);
}

// Four significant digits, trailing zeros dropped.
std::string Significant(double value) {
    const int digits = static_cast<int>(std::floor(std::log10(std::fabs(value))));
    std::string text = Fixed(value, std::clamp(3 - digits, 0, 12));
    if (text.find('.') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    return text;
}

struct Unit {
    double scale;
    const char* name;
};

// The value in the largest unit it reaches, moving up a unit when rounding
// carries it to four integer digits ("1000 µs" reads "1 ms").
std::string WithUnit(double value, const Unit* units, int count) {
    if (!std::isfinite(value)) {
        return "?";
    }
    if (value == 0.0) {
        return "0";
    }
    int u = 0;
    while (u + 1 < count && std::fabs(value) >= units[u + 1].scale) {
        ++u;
    }
    // Four significant digits round this up to 1000.
    if (std::fabs(value / units[u].scale) >= 999.95 && u + 1 < count) {
        ++u;
    }
    const std::string number = Significant(value / units[u].scale);
    return number + " " + units[u].name;
}

void Pulse(Trace& trace, bool invert, double delay, double width) {
    trace.idleHigh = invert;
    if (!std::isfinite(delay) || !std::isfinite(width)) {
        trace.notes.push_back("no usable clock");
        return;
    }
    trace.timed = true;
    trace.edges = {{delay, !invert}, {delay + width, invert}};
    trace.earliest = std::min(0.0, delay);
    trace.latest = delay + width;
    trace.notes.push_back("delay " + FormatTime(delay));
    trace.notes.push_back("width " + FormatTime(width));
}

void Sweep(Trace& trace, const SSweepProp& sweep, double hz) {
    if (!sweep.bEnable || !trace.timed) {
        return;
    }
    const double step = OnWire(sweep.dSweep, hz);
    trace.sweepFrom = trace.latest;
    trace.sweepTo = trace.latest + step;
    trace.latest = trace.sweepTo;
    trace.notes.push_back("+sweep " + FormatTime(step));
}

// On the wire an inverted clock sends its two times exchanged, so the output
// starts low for dDuration and then is high for dDelay: dDelay stays the
// high time and dDuration the low time either way.
void ClockWave(Trace& trace, const SClockProp& clock, double hz, double axisEnd) {
    const bool invert = clock.bInvert;
    trace.idleHigh = invert;
    const double high = OnWire(clock.dDelay, hz);
    const double low = OnWire(clock.dDuration, hz);
    const double period = high + low;
    if (!std::isfinite(period)) {
        trace.notes.push_back("no usable clock");
        return;
    }
    if (!(period > 0.0)) {
        trace.notes.push_back("no period");
        return;
    }
    trace.timed = true;
    trace.latest = 2.0 * period;
    trace.notes.push_back("period " + FormatTime(period) + " (" + FormatFrequency(1.0 / period) +
                          ")");
    trace.notes.push_back("high " + FormatTime(high) + ", low " + FormatTime(low));
    const double first = invert ? low : high;
    trace.edges.push_back({0.0, !invert});
    if (axisEnd / period > kMaxCycles) {
        trace.tooDense = true;
        trace.notes.push_back("too fast to draw at this span");
        return;
    }
    // Each edge from its cycle's start, so that rounding does not add up.
    for (double k = 0.0; k == 0.0 || k * period < axisEnd; k += 1.0) {
        trace.edges.push_back({k * period + first, invert});
        trace.edges.push_back({(k + 1.0) * period, !invert});
    }
}

}  // namespace

double OnWire(double seconds, double clockHz) {
    if (!IsUsableClock(clockHz)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(CountsAt(clockHz, seconds)) / clockHz;
}

Trace TraceMode(const CTimingMode* mode, double hz, double axisEnd) {
    Trace trace;
    // Named as in a setup file, where a channel without "mode" has the default.
    trace.modeName = mode != nullptr ? setup::ModeName(*mode) : "default (none)";
    if (mode == nullptr) {
        trace.notes.push_back("off");
    } else if (const auto* delay = dynamic_cast<const CDelayDurate*>(mode)) {
        Pulse(trace, delay->m_Dly.bInvert, OnWire(delay->m_Dly.dDelay, hz),
              OnWire(delay->m_Dly.dDuration, hz));
        Sweep(trace, delay->m_Sweep, hz);
    } else if (const auto* dyn = dynamic_cast<const CDynDelayDurate*>(mode)) {
        Pulse(trace, dyn->m_Dly.bInvert, OnWire(dyn->m_Dly.dDelay, hz),
              OnWire(dyn->m_Dly.dDuration, hz));
        Sweep(trace, dyn->m_Sweep, hz);
        trace.notes.push_back("dynamic");
    } else if (const auto* validate = dynamic_cast<const CValidate*>(mode)) {
        Pulse(trace, validate->m_Validate.bInvert, OnWire(validate->m_Validate.dDelay, hz),
              OnWire(validate->m_Validate.dDuration, hz));
    } else if (const auto* upDown = dynamic_cast<const CUpDown*>(mode)) {
        Pulse(trace, upDown->m_Dly.bInvert, SignedOnWire(upDown->m_Dly.dDelay, hz),
              OnWire(upDown->m_Dly.dDuration, hz));
    } else if (const auto* clock = dynamic_cast<const CClock*>(mode)) {
        ClockWave(trace, clock->m_Clock, hz, axisEnd);
    } else if (const auto* toggle = dynamic_cast<const CToggle*>(mode)) {
        trace.idleHigh = toggle->m_Toggle.bInvert;
        trace.edges.push_back({0.0, !trace.idleHigh});
        trace.notes.push_back("toggles on each trigger");
    } else if (const auto* count = dynamic_cast<const CCount*>(mode)) {
        trace.notes.push_back("counts triggers");
        if (count->m_Counter.nMode == 0) {
            trace.notes.push_back("measures delay");
        }
    } else if (const auto* passive = dynamic_cast<const CPassive*>(mode)) {
        trace.idleHigh = passive->m_Passive.bInvert;
        trace.notes.push_back("passive");
    } else if (const auto* off = dynamic_cast<const CNull*>(mode)) {
        trace.idleHigh = off->m_Null.bInvert;
        trace.notes.push_back("off");
    } else {
        trace.notes.push_back("custom mode");
    }
    return trace;
}

bool LevelAt(const Trace& trace, double time) {
    bool level = trace.idleHigh;
    for (const Edge& edge : trace.edges) {
        if (edge.time > time) {
            break;
        }
        level = edge.high;
    }
    return level;
}

double NiceCeil(double x) {
    const int exponent = static_cast<int>(std::floor(std::log10(x)));
    // log10 may land a hair off for exact powers of ten: start one lower.
    for (int e = exponent - 1; e <= exponent + 1; ++e) {
        for (double m : {1.0, 2.0, 5.0}) {
            const double value = Decimal(m, e);
            if (value >= x * (1.0 - 1e-9)) {
                return value;
            }
        }
    }
    return Decimal(1.0, exponent + 2);
}

double AutoSpan(double latestEnd) {
    if (!(latestEnd > 0.0) || !std::isfinite(latestEnd)) {
        return kDefaultSpan;
    }
    return NiceCeil(latestEnd * 1.2);
}

double TickStep(double width, int maxTicks) {
    return NiceCeil(width / maxTicks);
}

std::vector<double> Ticks(double from, double to, double step) {
    std::vector<double> ticks;
    if (!(step > 0.0) || !std::isfinite(step)) {
        return ticks;
    }
    const double first = std::ceil(from / step - 1e-9);
    const double last = std::floor(to / step + 1e-9);
    for (double k = first; k <= last; k += 1.0) {
        ticks.push_back(k * step);
    }
    return ticks;
}

std::string FormatTime(double seconds) {
    static const Unit kUnits[] = {
        {1e-12, "ps"}, {1e-9, "ns"}, {1e-6, "µs"}, {1e-3, "ms"}, {1, "s"}};
    return WithUnit(seconds, kUnits, 5);
}

std::string FormatFrequency(double hz) {
    static const Unit kUnits[] = {{1, "Hz"}, {1e3, "kHz"}, {1e6, "MHz"}, {1e9, "GHz"}};
    return WithUnit(hz, kUnits, 4);
}

std::string EscapeXml(std::string_view text) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            switch (byte) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                case '\'':
                    out += "&apos;";
                    break;
                default:
                    // XML 1.0 has no way at all to carry the other controls.
                    if (byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r') {
                        out += static_cast<char>(byte);
                    }
            }
            ++i;
            continue;
        }
        // A well-formed UTF-8 sequence passes whole; anything else (stray
        // continuation bytes, overlong forms, surrogates, beyond U+10FFFF,
        // cut short) becomes one replacement character per byte.
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (byte >= 0xC2 && byte <= 0xDF) {
            length = 2;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            length = 3;
            low = byte == 0xE0 ? 0xA0 : 0x80;
            high = byte == 0xED ? 0x9F : 0xBF;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4;
            low = byte == 0xF0 ? 0x90 : 0x80;
            high = byte == 0xF4 ? 0x8F : 0xBF;
        }
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = k == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
        }
        // U+FFFE and U+FFFF are not XML characters either.
        if (valid && length == 3 && byte == 0xEF &&
            static_cast<unsigned char>(text[i + 1]) == 0xBF &&
            static_cast<unsigned char>(text[i + 2]) >= 0xBE) {
            valid = false;
        }
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += kReplacement;
            ++i;
        }
    }
    return out;
}

}  // namespace diagram

namespace {

using namespace diagram;

constexpr int kChannels = 8;
constexpr double kWidth = 960.0;
constexpr double kPlotLeft = 190.0;
constexpr double kPlotRight = kWidth - 24.0;
constexpr double kRowHeight = 60.0;
constexpr double kHighOffset = 14.0;  // from the row's top
constexpr double kLowOffset = 36.0;
constexpr double kNoteOffset = 52.0;
// Before the trigger the axis shows a little idle time, so that the trigger
// mark does not sit on the plot's edge.
constexpr double kLeadFraction = 0.05;
constexpr double kShortestSpan = 1e-12;

const char* const kWaveColour = "#1f4e9c";

std::string Number(double value) {
    return Fixed(value, 1);
}

class Svg {
public:
    void Line(double x1, double y1, double x2, double y2, const std::string& style) {
        m_Body += "<line x1=\"" + Number(x1) + "\" y1=\"" + Number(y1) + "\" x2=\"" + Number(x2) +
                  "\" y2=\"" + Number(y2) + "\" " + style + "/>\n";
    }
    void Rect(double x, double y, double width, double height, const std::string& style) {
        m_Body += "<rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" +
                  Number(std::max(0.0, width)) + "\" height=\"" + Number(height) + "\" " + style +
                  "/>\n";
    }
    void Text(double x, double y, std::string_view text, const std::string& style) {
        m_Body += "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" " + style + ">" +
                  EscapeXml(text) + "</text>\n";
    }
    void Polyline(const std::vector<std::pair<double, double>>& points) {
        m_Body += "<polyline fill=\"none\" stroke=\"";
        m_Body += kWaveColour;
        m_Body += "\" stroke-width=\"2\" points=\"";
        for (std::size_t i = 0; i < points.size(); ++i) {
            m_Body +=
                (i == 0 ? "" : " ") + Number(points[i].first) + "," + Number(points[i].second);
        }
        m_Body += "\"/>\n";
    }
    std::string Document(double height) const {
        const std::string w = Fixed(kWidth, 0);
        const std::string h = Fixed(std::ceil(height), 0);
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
               w + "\" height=\"" + h + "\" viewBox=\"0 0 " + w + " " + h +
               "\" font-family=\"sans-serif\" font-size=\"12\">\n"
               "<rect x=\"0\" y=\"0\" width=\"" +
               w + "\" height=\"" + h + "\" fill=\"white\"/>\n" + m_Body + "</svg>\n";
    }

private:
    std::string m_Body;
};

struct Axis {
    double from;
    double to;
    double X(double time) const {
        const double t = std::clamp(time, from, to);
        return kPlotLeft + (t - from) / (to - from) * (kPlotRight - kPlotLeft);
    }
};

// The steps of a trace between the axis ends: the level at the start, a
// vertical pair at every edge inside, the level at the end.
std::vector<std::pair<double, double>> Steps(const Trace& trace, const Axis& axis, double to,
                                             double rowTop) {
    const auto y = [rowTop](bool high) { return rowTop + (high ? kHighOffset : kLowOffset); };
    bool level = LevelAt(trace, axis.from);
    std::vector<std::pair<double, double>> points{{axis.X(axis.from), y(level)}};
    for (const Edge& edge : trace.edges) {
        if (edge.time <= axis.from || edge.time >= to) {
            continue;
        }
        points.emplace_back(axis.X(edge.time), y(level));
        level = edge.high;
        points.emplace_back(axis.X(edge.time), y(level));
    }
    points.emplace_back(axis.X(to), y(level));
    return points;
}

void DrawRow(Svg& svg, const Axis& axis, double rowTop, char letter, double hz, const Trace& trace,
             bool outOfRange) {
    svg.Text(14.0, rowTop + 32.0, std::string(1, letter), "font-size=\"18\" font-weight=\"bold\"");
    svg.Text(40.0, rowTop + 26.0, trace.modeName, "");
    if (std::isfinite(hz) && hz > 0.0) {
        svg.Text(40.0, rowTop + 42.0, "clock " + FormatFrequency(hz),
                 "font-size=\"10\" fill=\"#777\"");
    }
    const double highY = rowTop + kHighOffset;
    const double lowY = rowTop + kLowOffset;
    if (trace.sweepTo > trace.sweepFrom) {
        const double x = axis.X(trace.sweepFrom);
        svg.Rect(x, highY, axis.X(trace.sweepTo) - x, lowY - highY,
                 "fill=\"#4a7bd0\" fill-opacity=\"0.25\"");
    }
    if (trace.tooDense) {
        const double x = axis.X(0.0);
        svg.Rect(x, highY, axis.X(axis.to) - x, lowY - highY,
                 "fill=\"#1f4e9c\" fill-opacity=\"0.35\"");
        svg.Polyline(Steps(trace, axis, 0.0, rowTop));
    } else {
        svg.Polyline(Steps(trace, axis, axis.to, rowTop));
    }
    std::string notes;
    for (const std::string& note : trace.notes) {
        notes += (notes.empty() ? "" : " · ") + note;
    }
    // Right of the trigger mark, which would otherwise cross the text.
    svg.Text(axis.X(0.0) + 6.0, rowTop + kNoteOffset, notes, "font-size=\"11\" fill=\"#333\"");
    if (outOfRange) {
        svg.Text(kPlotRight, rowTop + kNoteOffset, "out of range",
                 "font-size=\"11\" fill=\"#d00\" font-weight=\"bold\" text-anchor=\"end\"");
    }
}

}  // namespace

std::string DrawTiming(const CVeltor& device, const DiagramOptions& options) {
    const CTimingMode* modes[kChannels] = {};
    double clocks[kChannels] = {};
    double latest = 0.0;
    double earliest = 0.0;
    for (int i = 0; i < kChannels; ++i) {
        const char letter = static_cast<char>('A' + i);
        const CChannel* channel = device.GetChannel(letter);
        modes[i] = channel != nullptr ? channel->GetTimingMode() : nullptr;
        clocks[i] = device.GetClockFrequencyHz(letter);
        const Trace extent = TraceMode(modes[i], clocks[i], 0.0);
        if (extent.timed) {
            latest = std::max(latest, extent.latest);
            earliest = std::min(earliest, extent.earliest);
        }
    }
    // A span given is kept within what a double's tick arithmetic bears.
    const double span = std::isfinite(options.spanSeconds) && options.spanSeconds > 0.0
                            ? std::clamp(options.spanSeconds, kShortestSpan, kLongestSpan)
                            : AutoSpan(latest);
    // A pulse before the trigger (a negative up/down delay) gets room of its own.
    const double lead = earliest < 0.0 ? NiceCeil(-earliest * 1.2) : span * kLeadFraction;
    const Axis axis{-lead, span};

    Svg svg;
    double top = 16.0;
    if (!options.title.empty()) {
        svg.Text(kWidth / 2.0, 28.0, options.title,
                 "font-size=\"16\" font-weight=\"bold\" text-anchor=\"middle\"");
        top = 44.0;
    }
    const double rowsTop = top + 16.0;
    const double rowsBottom = rowsTop + kChannels * kRowHeight;

    for (int i = 0; i < kChannels; i += 2) {
        svg.Rect(0.0, rowsTop + i * kRowHeight, kWidth, kRowHeight, "fill=\"#f6f7f9\"");
    }
    // The grid between the rows' shading and the waves.
    for (double tick : Ticks(axis.from, axis.to, TickStep(axis.to - axis.from))) {
        const double x = axis.X(tick);
        svg.Line(x, rowsTop, x, rowsBottom + 4.0, "stroke=\"#ccc\" stroke-width=\"0.5\"");
        svg.Text(x, rowsBottom + 18.0, FormatTime(tick), "font-size=\"11\" text-anchor=\"middle\"");
    }
    for (int i = 0; i < kChannels; ++i) {
        const char letter = static_cast<char>('A' + i);
        const Trace trace = TraceMode(modes[i], clocks[i], axis.to);
        const bool outOfRange = modes[i] != nullptr && !modes[i]->CheckParameters(&device, letter);
        DrawRow(svg, axis, rowsTop + i * kRowHeight, letter, clocks[i], trace, outOfRange);
    }

    svg.Line(kPlotLeft, rowsBottom, kPlotRight, rowsBottom, "stroke=\"#666\"");

    const double trigger = axis.X(0.0);
    svg.Line(trigger, rowsTop - 4.0, trigger, rowsBottom,
             "stroke=\"#d33\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"");
    svg.Text(trigger, rowsTop - 6.0, "trigger",
             "font-size=\"11\" fill=\"#d33\" text-anchor=\"middle\"");
    return svg.Document(rowsBottom + 32.0);
}

}  // namespace veltor::tools
