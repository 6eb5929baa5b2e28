// Setup files: one JSON file describes a whole instrument — the general
// properties, the global logic and, per channel A to H, whether it is
// enabled, its timing mode with every field of the mode's records and its
// logic text. Reading builds the host objects; writing them gives a
// canonical file (fixed key order, every field of a mode written, times as
// numbers of seconds, doubles that read back to the same double) that reads
// back to the same objects. docs/setup.schema.json describes the same
// format for other tools, and docs/guide.md every key.
//
//   {
//     "general": {
//       "clocks": {"AB": "200MHz", "CD": "3.125MHz", "EF": "2xref", "GH": "2xref/64"},
//       "referenceHz": 100000000.0, "outputs": "on", "panel": "unlocked"
//     },
//     "globalLogic": "x = in1 & in2;",
//     "channels": {
//       "A": {"enabled": true, "mode": "delay", "delay": "20 us", "duration": 1e-05,
//             "invert": false, "modeBit3": false, "sweep": {"enabled": false, "time": 0.0},
//             "trigger": {"kind": "normal", "option1": false, "option2": true,
//                         "value": 0, "valueMode": "off", "valueFlag": false},
//             "logic": "inA = x;"}
//     }
//   }
//
// The fields of each mode:
//   delay      delay duration invert modeBit3 sweep{enabled time} trigger{...}
//   dyn-delay  delay duration invert modeBit3 sweep{enabled time} average
//   up-down    delay duration invert modeBit3 trigger{...} scaling{useFirst first second}
//   validate   delay duration invert modeBit3 trigger{...}
//   clock      delay duration invert
//   count      counterMode (0..255) option setting text (at most 4095 bytes)
//   toggle, passive, null: invert
//   trigger    kind ("normal" "alternate" "plain", or an integer) option1 option2
//              value valueMode ("off" "on" "low", or an integer) valueFlag
// Times are seconds: a number, or a string with a unit ("1.5 us", "10 ns",
// see ParseTime). Clock sources are "200MHz" "3.125MHz" "2xref" "2xref/64"
// or their codes 0 to 3; no other code names a clock. "outputs" ("on"
// "off") and "panel" ("unlocked" "locked") say how the update leaves them;
// the former flags "outputsOff" and "lockPanel" are still read. Absent
// fields keep the record's defaults; a channel object without "mode" gives
// logic (and enabled) alone; an absent channel gives neither; an absent
// "enabled" leaves the channel as it is.
// Anything else is refused with an Error naming the key path.
#pragma once

#include <veltor/CTimingMode.h>
#include <veltor/SGeneral.h>

#include <array>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class CVeltor;

namespace veltor::setup {

struct Channel {
    // Null: the channel runs on the device's default mode.
    std::unique_ptr<CTimingMode> mode;
    // Absent: the channel's logic text is left as it is.
    std::optional<std::string> logic;
    // Absent: the channel is neither enabled nor disabled.
    std::optional<bool> enabled;
};

struct Setup {
    SGeneral general;
    std::optional<std::string> globalLogic;
    std::array<Channel, 8> channels;  // A..H
};

// what() reads "<path>: <message>" ("channels.C.delay: expected a number,
// got \"abc\""), or the message alone when it concerns no key (a JSON syntax
// error, a file that cannot be read).
class Error : public std::runtime_error {
public:
    Error(std::string path, const std::string& message);
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Path;
};

// Throws Error.
Setup Parse(const std::string& jsonText);
// The canonical file: 2-space indent, fixed key order, a trailing newline.
// Throws Error for what no file could read back: a mode class of the host's
// own, a time that is not a finite number, text that is not UTF-8 or holds a
// NUL character, a clock-source code outside 0 to 3.
std::string Format(const Setup& setup);
// Both throw Error; a file that cannot be read or written gives an empty path
// and a message with the file name and the system's reason.
Setup Load(const std::string& path);
void Save(const std::string& path, const Setup& setup);

// "delay", "dyn-delay", "toggle", "count", "up-down", "validate", "clock",
// "passive", "null"; "custom" for a class the file cannot describe.
const char* ModeName(const CTimingMode& mode);
// Null for an unknown name.
std::unique_ptr<CTimingMode> MakeMode(const std::string& name);
// A copy of a mode of a known class with all its records; null otherwise.
std::unique_ptr<CTimingMode> CloneMode(const CTimingMode& mode);

// Gives the device the setup under the device's lock: the general properties,
// the global logic (before the channels' logic, which is parsed against it),
// each channel's logic text, and each channel's mode — the setup's own object,
// which the device borrows, so the setup must outlive the device's use of it;
// a channel without a mode falls back to the default. Sends nothing, and
// leaves it to the caller to check whether the texts parse.
void Attach(Setup& setup, CVeltor& device);
// Attach, then the whole-device update (CmdUpdateAll), then each channel
// enabled or disabled as the setup says, A to H; all under the device's
// lock. False at the first command that fails: the device's GetLastError
// says which and why, and the channels after it are sent nothing.
bool Apply(Setup& setup, CVeltor& device);
// What the host objects hold now: general properties, global logic text,
// every channel's logic text, a copy of its own mode (none when it runs on
// the default, or on a mode class the file cannot describe) and, where the
// instrument acknowledged an enable or disable, whether it is enabled.
Setup Capture(const CVeltor& device);

// One problem of a setup: the key path of the file it concerns
// ("channels.C", "globalLogic") and what is wrong.
struct Problem {
    std::string key;
    std::string text;
};
// Every problem of a setup, found offline: each time outside its interval
// at its channel's clock, each logic text that does not compile (with its
// line).
std::vector<Problem> FindProblems(Setup& setup);
// The same as lines that start with the key path ("channels.C: ...").
std::vector<std::string> Check(Setup& setup);

// The key path of a time a mode checks (STimeParameter::szName) on a
// channel: "channels.A.delay", "channels.A.sweep.time".
std::string TimeKey(char channel, const std::string& name);

}  // namespace veltor::setup
