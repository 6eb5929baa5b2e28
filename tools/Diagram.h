// The timing diagram: an SVG picture of what the eight channels will do
// around a trigger at t = 0, drawn from their timing modes with the times
// quantised to each channel's clock as they go on the wire.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CTimingMode;
class CVeltor;

namespace veltor::tools {

// The longest time axis: a double's tick arithmetic bears no more.
constexpr double kLongestSpan = 1e12;

struct DiagramOptions {
    double spanSeconds = 0.0;  // 0: chosen from the channels' times (a little past the latest edge)
    std::string title;         // drawn at the top when not empty
};

// The SVG document for the device's eight channels as their own timing modes
// stand (null: the default mode, drawn as "default (none)"). It reads the
// host's mode objects and general properties: hold the device's lock while
// other threads may change them.
std::string DrawTiming(const CVeltor& device, const DiagramOptions& options = {});

namespace diagram {

// From `time` on, the output is at `high`.
struct Edge {
    double time;
    bool high;
};

// What one channel does, in seconds relative to the trigger.
struct Trace {
    std::string modeName;     // as a setup file names it ("delay", "up-down", ...)
    bool idleHigh = false;    // the level before the first edge
    std::vector<Edge> edges;  // in time order
    double sweepFrom = 0.0;   // the sweep band; none when sweepTo <= sweepFrom
    double sweepTo = 0.0;
    bool tooDense = false;  // a clock too fast to draw: a filled band from t = 0
    bool timed = false;     // its times count for the automatic span
    double earliest = 0.0;  // what the axis must hold
    double latest = 0.0;
    std::vector<std::string> notes;
};

// A time in seconds as it goes on the wire at this clock (nearest count,
// an exact half rounding up, saturating like the modes do); NaN without a
// usable clock.
double OnWire(double seconds, double clockHz);

// The trace of a mode (null: the default) at a clock; a clock output is
// drawn up to axisEnd.
Trace TraceMode(const CTimingMode* mode, double clockHz, double axisEnd);

// The level at a time: the idle level, then every edge at or before it.
bool LevelAt(const Trace& trace, double time);

// The smallest 1-2-5 value (1, 2, 5, 10, 20, ... times a power of ten) that
// is not below x; x must be positive.
double NiceCeil(double x);
// The span after the trigger for the latest end time of all traces: 1.2
// times it, rounded up to a 1-2-5 value; 100 µs when nothing is timed.
double AutoSpan(double latestEnd);
// The 1-2-5 tick step that puts at most maxTicks intervals over the width.
double TickStep(double width, int maxTicks = 10);
// The multiples of the step within [from, to].
std::vector<double> Ticks(double from, double to, double step);

// "20 µs", "-1.5 ms", "320 ns", "0": at most four significant digits.
std::string FormatTime(double seconds);
// "50 kHz", "3.125 MHz".
std::string FormatFrequency(double hz);
// Text fit for XML character data and attribute values: markup characters
// escaped, control characters dropped, broken UTF-8 replaced by U+FFFD.
std::string EscapeXml(std::string_view text);

}  // namespace diagram

}  // namespace veltor::tools
