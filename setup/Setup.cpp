#include "setup/Setup.h"

#include <veltor/CChannel.h>
#include <veltor/CVeltor.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "setup/Fields.h"
#include "setup/Modes.h"

namespace veltor::setup {

using detail::Join;
using detail::Json;
using detail::Reader;
using detail::Writer;

namespace {

constexpr int kChannels = 8;

std::string SystemReason(int code) {
    return std::generic_category().message(code);
}

// nlohmann quotes the bytes it last read, which may be a broken UTF-8
// sequence; a message must stay valid text for whoever shows it.
std::string AsciiOnly(const std::string& message) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            shown += c;
        } else {
            shown += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
        }
    }
    return shown;
}

// nlohmann keeps the last of two equal keys without a word; in a setup file
// that hides a typo's twin, so a key given twice is refused.
Json ParseJson(const std::string& text) {
    struct Frame {
        bool object;
        std::set<std::string> keys;
        std::string key;
    };
    std::vector<Frame> frames;
    std::optional<Error> twice;
    const Json::parser_callback_t watch = [&](int, Json::parse_event_t event, Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
                frames.push_back({true, {}, {}});
                break;
            case Json::parse_event_t::array_start:
                frames.push_back({false, {}, {}});
                break;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                frames.pop_back();
                break;
            case Json::parse_event_t::key: {
                Frame& top = frames.back();
                top.key = parsed.get<std::string>();
                if (!top.keys.insert(top.key).second && !twice) {
                    std::string path;
                    for (const Frame& frame : frames) {
                        if (frame.object) {
                            path = Join(path, frame.key);
                        }
                    }
                    twice = Error(path, "key given twice");
                }
                break;
            }
            case Json::parse_event_t::value:
                break;
        }
        return true;
    };
    Json root;
    try {
        root = Json::parse(text, watch);
    } catch (const Json::parse_error& error) {
        // Drop nlohmann's "[json.exception.parse_error.101] " prefix; the rest
        // gives line and column.
        std::string message = error.what();
        const std::size_t end = message.find("] ");
        if (message.rfind("[json.exception.", 0) == 0 && end != std::string::npos) {
            message.erase(0, end + 2);
        }
        throw Error("", AsciiOnly(message));
    }
    if (twice) {
        throw *twice;
    }
    return root;
}

void ReadChannel(const Json& value, const std::string& path, Channel& channel) {
    Reader reader(Reader::ObjectAt(value, path), path);
    channel.enabled = reader.OptionalFlag("enabled");
    const std::optional<std::string> name = reader.String("mode");
    std::string hint = "; a channel without \"mode\" takes only \"enabled\" and \"logic\"";
    if (name) {
        channel.mode = MakeMode(*name);
        if (!channel.mode) {
            throw Error(Join(path, "mode"), "unknown mode " + detail::Describe(Json(*name)) +
                                                "; known: " + detail::KnownModes());
        }
        detail::ReadFields(reader, *channel.mode);
        hint = " for mode \"" + *name + "\"";
    }
    channel.logic = reader.String("logic");
    reader.Finish(hint);
}

void ReadChannels(const Json& value, const std::string& path, Setup& setup) {
    for (const auto& item : Reader::ObjectAt(value, path).items()) {
        const std::string& letter = item.key();
        const std::string at = Join(path, letter);
        if (letter.size() == 1 && letter[0] >= 'A' && letter[0] <= 'H') {
            ReadChannel(item.value(), at, setup.channels[letter[0] - 'A']);
        } else if (letter.size() == 1 && letter[0] >= 'a' && letter[0] <= 'h') {
            // Upper case only, so that "a" and "A" can never both name one channel.
            throw Error(at, "channel letters are upper case: write \"" +
                                std::string(1, static_cast<char>(letter[0] - 'a' + 'A')) + "\"");
        } else {
            throw Error(at, "unknown channel; channels are A to H");
        }
    }
}

void WriteChannel(Writer& writer, const Channel& channel, const std::string& path) {
    if (channel.enabled) {
        writer.Flag("enabled", *channel.enabled);
    }
    if (channel.mode) {
        const std::string name = ModeName(*channel.mode);
        if (name == "custom") {
            throw Error(Join(path, "mode"), "a mode of a class of the host's own has no file form");
        }
        writer.String("mode", name);
        detail::WriteFields(writer, *channel.mode);
    }
    if (channel.logic) {
        writer.String("logic", *channel.logic);
    }
}

}  // namespace

Error::Error(std::string path, const std::string& message)
    : std::runtime_error(path.empty() ? message : path + ": " + message), m_Path(std::move(path)) {}

Setup Parse(const std::string& jsonText) {
    const Json root = ParseJson(jsonText);
    Reader top(Reader::ObjectAt(root, ""), "");
    Setup setup;
    top.Group("general", [&](Reader& general) { detail::ReadGeneral(general, setup.general); });
    setup.globalLogic = top.String("globalLogic");
    if (const Json* channels = top.Take("channels")) {
        ReadChannels(*channels, "channels", setup);
    }
    top.Finish();
    return setup;
}

std::string Format(const Setup& setup) {
    Json root = Json::object();
    Writer top(root, "");
    top.Group("general", [&](Writer& general) { detail::WriteGeneral(general, setup.general); });
    if (setup.globalLogic) {
        top.String("globalLogic", *setup.globalLogic);
    }
    top.Group("channels", [&](Writer& channels) {
        for (int i = 0; i < kChannels; ++i) {
            const Channel& channel = setup.channels[i];
            if (channel.mode || channel.logic || channel.enabled) {
                const std::string letter(1, static_cast<char>('A' + i));
                channels.Group(letter.c_str(), [&](Writer& writer) {
                    WriteChannel(writer, channel, Join("channels", letter));
                });
            }
        }
    });
    return root.dump(2) + "\n";
}

Setup Load(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw Error("", "cannot read " + path + ": " + SystemReason(errno));
    }
    std::string text;
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    // A directory opens and then fails to read (EISDIR).
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    std::fclose(file);
    if (failed) {
        throw Error("", "cannot read " + path + ": " + SystemReason(reason));
    }
    return Parse(text);
}

void Save(const std::string& path, const Setup& setup) {
    // Formatted first: a setup that cannot be written leaves the file as it was.
    const std::string text = Format(setup);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw Error("", "cannot write " + path + ": " + SystemReason(errno));
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    int reason = errno;
    const bool closed = std::fclose(file) == 0;
    if (written && !closed) {
        reason = errno;
    }
    if (!written || !closed) {
        throw Error("", "cannot write " + path + ": " + SystemReason(reason));
    }
}

void Attach(Setup& setup, CVeltor& device) {
    // Whole, so that no other thread's command sends half a setup.
    CSerDev::Hold hold(device);
    *device.GetPropA() = setup.general;
    if (setup.globalLogic) {
        device.SetGlobalLogic(setup.globalLogic->c_str());
    }
    for (int i = 0; i < kChannels; ++i) {
        CChannel* channel = device.GetChannel(static_cast<char>('A' + i));
        Channel& given = setup.channels[i];
        if (given.logic) {
            channel->SetChannelLogic(given.logic->c_str());
        }
        channel->SetTimingMode(given.mode.get());
    }
}

bool Apply(Setup& setup, CVeltor& device) {
    CSerDev::Hold hold(device);
    Attach(setup, device);
    if (!device.CmdUpdateAll()) {
        return false;
    }
    for (int i = 0; i < kChannels; ++i) {
        const std::optional<bool>& enabled = setup.channels[i].enabled;
        CChannel* channel = device.GetChannel(static_cast<char>('A' + i));
        if (enabled && !(*enabled ? channel->CmdEnable() : channel->CmdDisable())) {
            return false;
        }
    }
    return true;
}

Setup Capture(const CVeltor& device) {
    // The device's lock and its general properties are reached through
    // non-const members; nothing here changes the device.
    CVeltor& held = const_cast<CVeltor&>(device);
    CSerDev::Hold hold(held);
    Setup setup;
    setup.general = *held.GetPropA();
    setup.globalLogic = device.GetGlobalLogic();
    for (int i = 0; i < kChannels; ++i) {
        const CChannel* channel = device.GetChannel(static_cast<char>('A' + i));
        setup.channels[i].logic = channel->GetChannelLogic();
        const int enabled = channel->GetEnabledState();
        if (enabled >= 0) {
            setup.channels[i].enabled = enabled == 1;
        }
        if (const CTimingMode* mode = channel->GetTimingMode()) {
            setup.channels[i].mode = CloneMode(*mode);
        }
    }
    return setup;
}

std::string TimeKey(char channel, const std::string& name) {
    // The sweep's time is a field of its group.
    return "channels." + std::string(1, channel) + "." + (name == "sweep" ? "sweep.time" : name);
}

}  // namespace veltor::setup
