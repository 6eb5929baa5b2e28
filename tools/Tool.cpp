#include "tools/Tool.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "sim/Instrument.h"
#include "tools/Diagram.h"

namespace veltor::tools {

std::string Count(long count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string Hex(const unsigned char* bytes, unsigned long count) {
    std::string text;
    char byte[4];
    for (unsigned long i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof(byte), i == 0 ? "%02X" : " %02X", bytes[i]);
        text += byte;
    }
    return text;
}

std::string FormatSeconds(double seconds, int digits) {
    struct Unit {
        double scale;
        const char* name;
    };
    static const Unit kUnits[] = {{1.0, "s"}, {1e-3, "ms"}, {1e-6, "µs"}, {1e-9, "ns"}};
    if (!std::isfinite(seconds)) {
        return std::isnan(seconds) ? "NaN" : seconds > 0 ? "inf s" : "-inf s";
    }
    if (seconds == 0.0) {
        return "0 s";
    }
    const double magnitude = std::fabs(seconds);
    for (const Unit& unit : kUnits) {
        if (magnitude >= unit.scale * 0.9999995 || unit.scale == 1e-9) {
            char text[64];
            std::snprintf(text, sizeof(text), "%.*g %s", digits, seconds / unit.scale, unit.name);
            return text;
        }
    }
    return "0 s";
}

int BaudIndex(long baud) {
    for (int index = CSerDev::kBaud2400; index <= CSerDev::kBaud115200; ++index) {
        if (CSerDev::BaudRate(index) == baud) {
            return index;
        }
    }
    throw ToolError(kExitUsage, "no line speed " + std::to_string(baud) +
                                    " bit/s: use 2400, 4800, 9600, 19200, 38400, 57600 or 115200");
}

std::unique_ptr<CVeltor> Connect(const PortOptions& options) {
    const int baudIndex = BaudIndex(options.baud);
    auto device = std::make_unique<CVeltor>();
    if (options.trace) {
        PrintTraceTo(*device);
    }
    char* end = nullptr;
    const long number = std::strtol(options.port.c_str(), &end, 10);
    const bool isNumber = !options.port.empty() && end != nullptr && *end == '\0';
    const int result = isNumber ? device->InitConnection(static_cast<int>(number), baudIndex)
                                : device->InitConnection(options.port.c_str(), baudIndex);
    if (result != 0) {
        throw ToolError(kExitNoConnection, "cannot connect: " + device->GetLastError());
    }
    return device;
}

void KeepConnection(CVeltor& device, std::function<void(CVeltor&)> back) {
    CVeltor* target = &device;
    device.SetReconnectListener([target, back](CVeltor::ReconnectEvent event) {
        if (event == CVeltor::kLineLost) {
            std::fprintf(stderr, "veltor: the line is lost; opening it again\n");
        } else if (event == CVeltor::kLineBack) {
            std::fprintf(stderr, "veltor: the line is back\n");
            // On the device's reconnecting thread: what `back` throws is
            // told here, and the tool stays as it is until interrupted.
            try {
                if (back) {
                    back(*target);
                }
            } catch (const std::exception& error) {
                std::fprintf(stderr, "veltor: after reconnecting: %s\n", error.what());
            } catch (...) {
                std::fprintf(stderr, "veltor: after reconnecting: an unknown failure\n");
            }
        }
    });
    device.SetReconnect(CVeltor::ReconnectPolicy());
}

void PrintTraceTo(CVeltor& device) {
    device.SetTrace([](const CSerDev::TraceEvent& event) {
        static std::mutex printing;
        static long long start = event.timeNs;
        static const char* const kArrows[] = {"->", "<-", "<~"};
        std::lock_guard<std::mutex> hold(printing);
        std::fprintf(stderr, "%12.6f %s %s%s%s\n", (event.timeNs - start) / 1e9,
                     kArrows[event.kind], Hex(event.bytes, event.count).c_str(),
                     event.status[0] != '\0' ? "   " : "", event.status);
    });
}

ToolError CommandFailed(const CVeltor& device, const std::string& what) {
    // The library's reason names the channel and the step already.
    const std::string why = device.GetLastError();
    return ToolError(kExitCommandFailed, why.empty() ? what + " failed" : why);
}

setup::Setup LoadSetup(const std::string& path) {
    try {
        return setup::Load(path);
    } catch (const setup::Error& error) {
        // A file that cannot be read is named by the message already.
        const std::string why = error.what();
        throw ToolError(kExitBadSetup,
                        why.find(path) == std::string::npos ? path + ": " + why : why);
    }
}

std::vector<std::string> LogicWarnings(CVeltor& device) {
    std::vector<std::string> found;
    const auto add = [&found](const std::string& key, const std::vector<LogicWarning>& warnings) {
        for (const LogicWarning& warning : warnings) {
            found.push_back(key + ", line " + std::to_string(warning.line) + ": " + warning.text);
        }
    };
    add("globalLogic", FindLogicWarnings(device.GetGlobalLogic()));
    for (char channel = 'A'; channel <= 'H'; ++channel) {
        add("channels." + std::string(1, channel) + ".logic",
            device.GetChannel(channel)->GetLogicWarnings());
    }
    return found;
}

std::string DescribeRounding(const RoundedTime& time) {
    // As many digits as tell the two values apart.
    int digits = 6;
    while (digits < 17 &&
           FormatSeconds(time.written, digits) == FormatSeconds(time.running, digits)) {
        ++digits;
    }
    char change[32];
    std::snprintf(change, sizeof(change), "%+.3g %%", (time.running / time.written - 1.0) * 100.0);
    return setup::TimeKey(time.channel, time.name) + " " + FormatSeconds(time.written, digits) +
           " runs as " + FormatSeconds(time.running, digits) + ", " + std::to_string(time.counts) +
           " counts of " + FormatSeconds(1.0 / time.clockHz) + " (" + change + ")";
}

namespace {

// Pads to a width in characters (UTF-8 aware: "µs" is two bytes, one column).
std::string Pad(const std::string& text, std::size_t width) {
    std::size_t columns = 0;
    for (const char c : text) {
        columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return text + std::string(columns < width ? width - columns : 1, ' ');
}

}  // namespace

std::string FormatInstrument(const vsim::InstrumentState& state) {
    std::string text = Pad("ch", 4) + Pad("mode", 10) + Pad("delay", 13) + Pad("duration", 13) +
                       Pad("enabled", 9) + "logic code\n";
    for (int i = 0; i < vsim::kChannelCount; ++i) {
        const vsim::ChannelState& c = state.ch[i];
        const bool timed = c.hasMode && c.modeName != "null" && c.modeName != "passive" &&
                           c.modeName != "toggle" && c.modeName != "count";
        const std::vector<uint8_t>& code = c.activeLogicCode;
        text += Pad(std::string(1, static_cast<char>('A' + i)), 4) +
                Pad(c.hasMode ? c.modeName : "-", 10) +
                Pad(timed ? FormatSeconds(c.delaySeconds) : "-", 13) +
                Pad(timed ? FormatSeconds(c.durationSeconds) : "-", 13) +
                Pad(c.enabled ? "yes" : "no", 9) +
                (code.empty() ? "(none)" : Hex(code.data(), code.size())) + "\n";
    }
    text += std::string("outputs ") + (state.outputsEnabled ? "on" : "off") + ", panel " +
            (state.panelLocked ? "locked" : "unlocked") + ", logic " +
            (state.logicImplemented ? "in effect" : "not implemented") + ", " +
            std::to_string(state.requestCount) + " requests\n";
    return text;
}

std::string DescribeQueried(CVeltor& device, char channel) {
    const double seconds = device.GetChannel(channel)->GetLastDelay();
    const double hz = device.GetClockFrequencyHz(channel);
    char counts[64];
    std::snprintf(counts, sizeof(counts), "%.0f", std::round(seconds * hz));
    return std::string(1, channel) + " delay " + FormatSeconds(seconds) + " (" + counts +
           " counts of the " + diagram::FormatFrequency(hz) + " clock)";
}

std::string RequestStep(const CSerDev::TraceEvent& event) {
    std::string step = event.status;
    // 25 D8 L payload...: a timing mode names its channel's index and 0F, a
    // logic load its selector 08 + index and 07, a channel command its
    // selector 88 + index.
    if (event.count >= 5) {
        const unsigned char first = event.bytes[3];
        const unsigned char code = event.bytes[4];
        if (code == 0x0F && first < 8) {
            step += std::string(" channel ") + static_cast<char>('A' + first);
        } else if (code == 0x07 && first >= 0x08 && first < 0x10) {
            step += std::string(" channel ") + static_cast<char>('A' + first - 0x08);
        } else if (first >= 0x88 && first < 0x90) {
            step += std::string(" channel ") + static_cast<char>('A' + first - 0x88);
        }
    }
    return step;
}

}  // namespace veltor::tools
