#include "tools/panel/Panel.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "tools/Diagram.h"
#include "tools/Tool.h"
#include "tools/panel/PanelAssets.h"

namespace veltor::panel {

using namespace veltor::tools;

namespace {

using Json = nlohmann::json;

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Dump(const Json& json) {
    // Text from the instrument or a file may hold broken UTF-8.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

HttpResponse JsonResponse(int status, const Json& body) {
    return {status, "application/json", Dump(body)};
}

// "channels.A" and "delay 1e-09 s is outside ..." give "channels.A.delay",
// so that the page shows the message beside the delay.
std::string ProblemKey(const setup::Problem& problem) {
    for (const char* field : {"delay", "duration", "sweep"}) {
        const std::string word = std::string(field) + " ";
        if (problem.key.rfind("channels.", 0) == 0 && problem.text.rfind(word, 0) == 0) {
            return problem.key + "." + field;
        }
    }
    return problem.key;
}

// "channels.B.logic, line 2: ..." as a key and a text.
Json SplitWarning(const std::string& warning, const std::string& separator) {
    const std::size_t at = warning.find(separator);
    if (at == std::string::npos) {
        return {{"key", ""}, {"text", warning}};
    }
    return {{"key", warning.substr(0, at)}, {"text", warning.substr(at + separator.size())}};
}

// Runs a listener's work on the library's thread: an event that cannot be
// made (short of memory) is dropped and told, and the thread goes on.
template <typename Work>
void Contained(const char* what, Work work) noexcept {
    try {
        work();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "veltor panel: a %s event was dropped: %s\n", what, error.what());
    } catch (...) {
        std::fprintf(stderr, "veltor panel: a %s event was dropped\n", what);
    }
}

const char* TraceArrow(CSerDev::TraceEvent::Kind kind) {
    return kind == CSerDev::TraceEvent::kRequest  ? "->"
           : kind == CSerDev::TraceEvent::kAnswer ? "<-"
                                                  : "<~";
}

}  // namespace

HttpResponse ErrorResponse(int status, const std::string& message) {
    return JsonResponse(status, {{"error", message}});
}

Panel::Panel(CVeltor& device, PanelConfig config, setup::Setup initial)
    : m_Device(device),
      m_Config(std::move(config)),
      m_Setup(std::move(initial)),
      m_StartNs(NowNs()) {
    {
        std::lock_guard<std::mutex> hold(m_EditLock);
        MakeState();
    }
    device.SetReportListener(
        [this](char channel, unsigned counts, double seconds, long long timeNs) {
            Contained("report", [&] {
                m_Hub.Push("report", Dump({{"channel", std::string(1, channel)},
                                           {"counts", counts},
                                           {"seconds", seconds},
                                           {"text", FormatSeconds(seconds)},
                                           {"t", (timeNs - m_StartNs) / 1e9}}));
            });
        });
    if (m_Config.reconnect) {
        device.SetReconnectListener([this](CVeltor::ReconnectEvent event) {
            if (event == CVeltor::kLineLost || event == CVeltor::kLineBack) {
                m_bReconnecting = event == CVeltor::kLineLost;
                Contained("connection", [&] {
                    m_Hub.Push("connection", Dump({{"state", Connection()}}));
                });
            }
        });
        device.SetReconnect(CVeltor::ReconnectPolicy());
    }
}

Panel::~Panel() {
    Close();
    m_Device.SetReportListener(nullptr);
    m_Device.SetReconnectListener(nullptr);
    m_Device.SetTrace(nullptr);
}

void Panel::Close() {
    m_Hub.Close();
}

std::string Panel::Connection() const {
    if (m_Device.IsConnected()) {
        return "connected";
    }
    return m_bReconnecting ? "reconnecting" : "lost";
}

Admission Panel::Admit(const HttpRequest& request) const {
    Admission admission;
    admission.refusal = Refuse(m_Config.access, request);
    if (!admission.refusal && request.path.rfind("/api/", 0) != 0 && request.method != "GET") {
        admission.refusal = ErrorResponse(405, request.path + " takes GET");
    }
    admission.trusted = !admission.refusal && CarriesToken(m_Config.access, request);
    return admission;
}

std::optional<HttpResponse> Panel::RefuseEvents(const HttpRequest& request) const {
    return Refuse(m_Config.access, request);
}

std::string Panel::NextEvents(long long& after, std::string& connection, int timeoutMs) {
    if (after < 0) {
        after = m_Hub.Last();
    }
    const std::vector<std::shared_ptr<const Event>> events = m_Hub.After(after, timeoutMs);
    if (m_Hub.Closed()) {
        return std::string();
    }
    std::string text;
    for (const std::shared_ptr<const Event>& event : events) {
        if (!text.empty() && text.size() + event->data.size() > kEventPartBytes) {
            break;  // the rest in the next part, without waiting
        }
        text += FormatEvent(*event);
        after = event->number;
    }
    // Without the reconnecting policy nothing tells of a lost line but the
    // device's state, looked at here at each turn.
    const std::string now = Connection();
    if (now != connection) {
        connection = now;
        text += "event: connection\ndata: " + Dump({{"state", now}}) + "\n\n";
    }
    return text.empty() ? ": still here\n\n" : text;
}

HttpResponse Panel::Handle(const HttpRequest& request) {
    if (std::optional<HttpResponse> refused = Refuse(m_Config.access, request)) {
        return *refused;
    }
    try {
        return Route(request);
    } catch (const Json::exception& error) {
        return ErrorResponse(400, std::string("malformed JSON: ") + error.what());
    } catch (const setup::Error& error) {
        return JsonResponse(400, {{"error", error.what()}, {"key", error.Path()}});
    } catch (const std::exception& error) {
        return ErrorResponse(500, std::string("the panel failed: ") + error.what());
    } catch (...) {
        return ErrorResponse(500, "the panel failed");
    }
}

HttpResponse Panel::Route(const HttpRequest& request) {
    const std::string& path = request.path;
    const bool get = request.method == "GET";
    if (path.rfind("/api/", 0) != 0) {
        const Asset* asset = FindAsset(path == "/" ? "/index.html" : path);
        if (asset == nullptr) {
            return ErrorResponse(404, "no " + path);
        }
        if (!get) {
            return ErrorResponse(405, path + " takes GET");
        }
        return {200, asset->type, std::string(asset->bytes, asset->size)};
    }
    const std::string name = path.substr(5);
    const bool simOnly = name.rfind("sim", 0) == 0;
    if (simOnly && !m_Config.simState) {
        return ErrorResponse(404, "no simulated instrument: start the panel with --sim");
    }
    if (get) {
        if (name == "state") {
            return {200, "application/json", State()};
        }
        if (name == "sim") {
            return {200, "application/json", m_Config.simState()};
        }
        return ErrorResponse(404, "no GET " + path);
    }
    if (request.method != "POST") {
        return ErrorResponse(405, path + ": " + request.method + " is not taken");
    }
    if (name == "setup") {
        return TakeSetup(request.body);
    }
    if (name == "save") {
        return Save();
    }
    if (name == "trace") {
        return Trace(request.body);
    }
    if (name == "sim/report") {
        return SimReport(request.body);
    }
    // What follows uses the line, one command at a time.
    std::lock_guard<std::mutex> line(m_LineLock);
    if (name == "apply") {
        return ApplySetup();
    }
    if (name == "capture") {
        setup::Setup captured = setup::Capture(m_Device);
        std::lock_guard<std::mutex> edit(m_EditLock);
        m_Setup = std::move(captured);
        return Changed();
    }
    struct DeviceCommand {
        const char* name;
        bool (CVeltor::*command)();
        const char* done;
    };
    static const DeviceCommand kDeviceCommands[] = {
        {"outputs-on", &CVeltor::CmdEnableOutputs, "outputs on"},
        {"outputs-off", &CVeltor::CmdDisableOutputs, "outputs off"},
        {"lock", &CVeltor::CmdLockFP, "panel locked"},
        {"unlock", &CVeltor::CmdUnlockFP, "panel unlocked"},
    };
    for (const DeviceCommand& entry : kDeviceCommands) {
        if (name == std::string("device/") + entry.name) {
            return Command(entry.name, (m_Device.*entry.command)(), entry.done);
        }
    }
    // channel/A/enable
    if (name.size() > 10 && name.rfind("channel/", 0) == 0 && name[9] == '/' && name[8] >= 'A' &&
        name[8] <= 'H') {
        const char letter = name[8];
        const std::string action = name.substr(10);
        CChannel* channel = m_Device.GetChannel(letter);
        struct ChannelCommand {
            const char* name;
            bool (CChannel::*command)();
            const char* done;
        };
        static const ChannelCommand kChannelCommands[] = {
            {"enable", &CChannel::CmdEnable, "enabled"},
            {"disable", &CChannel::CmdDisable, "disabled"},
            {"trigger", &CChannel::CmdForceTrigger, "triggered"},
        };
        if (action == "query") {
            const bool ok = channel->CmdQuery();
            return Command(std::string("query ") + letter, ok,
                           ok ? DescribeQueried(m_Device, letter) : "");
        }
        for (const ChannelCommand& entry : kChannelCommands) {
            if (action == entry.name) {
                return Command(std::string(entry.name) + " " + letter, (channel->*entry.command)(),
                               std::string(1, letter) + " " + entry.done);
            }
        }
    }
    return ErrorResponse(404, "no POST " + path);
}

std::string Panel::State() const {
    std::shared_ptr<const std::string> made;
    {
        std::lock_guard<std::mutex> hold(m_EditLock);
        made = m_State;
    }
    // The object's keys are sorted: "connection" comes first.
    return "{\"connection\":" + Dump(Connection()) + "," + made->substr(1);
}

void Panel::MakeState() {
    const std::string text = setup::Format(m_Setup);
    Json setupJson = Json::parse(text);
    Json times = Json::object();
    const Json channels = setupJson.contains("channels") ? setupJson["channels"] : Json::object();
    for (const auto& [letter, channel] : channels.items()) {
        for (const char* field : {"delay", "duration"}) {
            if (channel.contains(field) && channel[field].is_number()) {
                times[letter][field] = FormatSeconds(channel[field].get<double>());
            }
        }
    }
    Json problems = Json::array();
    for (const setup::Problem& problem : setup::FindProblems(m_Setup)) {
        problems.push_back({{"key", ProblemKey(problem)}, {"text", problem.text}});
    }
    CVeltor scratch;
    setup::Attach(m_Setup, scratch);
    Json warnings = Json::array();
    for (const RoundedTime& time : FindRoundedTimes(scratch)) {
        warnings.push_back(SplitWarning(DescribeRounding(time), " "));
    }
    for (const std::string& warning : LogicWarnings(scratch)) {
        warnings.push_back(SplitWarning(warning, ", "));
    }
    DiagramOptions diagram;
    m_State =
        std::make_shared<const std::string>(Dump({{"setup", setupJson},
                                                  {"setupText", text},
                                                  {"times", times},
                                                  {"problems", problems},
                                                  {"warnings", warnings},
                                                  {"diagram", DrawTiming(scratch, diagram)},
                                                  {"port", m_Config.port},
                                                  {"setupFile", m_Config.setupPath},
                                                  {"trace", m_bTrace},
                                                  {"sim", static_cast<bool>(m_Config.simState)}}));
}

HttpResponse Panel::Changed() {
    MakeState();
    std::string state = "{\"connection\":" + Dump(Connection()) + "," + m_State->substr(1);
    m_Hub.Push("state", state);
    return {200, "application/json", std::move(state)};
}

HttpResponse Panel::TakeSetup(const std::string& body) {
    // Parsed before the lock: a large body does not hold up the state.
    setup::Setup taken = setup::Parse(body);
    std::lock_guard<std::mutex> hold(m_EditLock);
    m_Setup = std::move(taken);
    return Changed();
}

HttpResponse Panel::ApplySetup() {
    std::string text;
    {
        std::lock_guard<std::mutex> hold(m_EditLock);
        const std::vector<setup::Problem> problems = setup::FindProblems(m_Setup);
        if (!problems.empty()) {
            return Tell("apply", false,
                        Count(static_cast<long>(problems.size()), "problem") + ", nothing sent",
                        409);
        }
        text = setup::Format(m_Setup);
    }
    // The device borrows the modes of what it was given: the new copy is in
    // place before the old one goes.
    setup::Setup next = setup::Parse(text);
    const SGeneral& general = next.general;
    const std::string done = std::string("applied; outputs ") +
                             (general.bDisableOutputs ? "off" : "on") + ", panel " +
                             (general.bLockFP ? "locked" : "unlocked");
    const HttpResponse response = Command("apply", setup::Apply(next, m_Device), done);
    m_Applied = std::move(next);
    return response;
}

HttpResponse Panel::Tell(const std::string& what, bool ok, std::string message, int failure) {
    if (message.empty()) {
        message = what + (ok ? " done" : " failed");
    }
    const Json outcome = {{"what", what}, {"ok", ok}, {"message", message}};
    m_Hub.Push("outcome", Dump(outcome));
    return JsonResponse(ok ? 200 : failure, outcome);
}

HttpResponse Panel::Command(const std::string& what, bool ok, const std::string& done) {
    return Tell(what, ok, ok ? done : m_Device.GetLastError(), 502);
}

HttpResponse Panel::Save() {
    std::lock_guard<std::mutex> hold(m_EditLock);
    if (m_Config.setupPath.empty()) {
        return ErrorResponse(409, "no setup file was named on the command line (--setup FILE)");
    }
    try {
        setup::Save(m_Config.setupPath, m_Setup);
    } catch (const setup::Error& error) {
        return Tell("save", false, error.what(), 500);
    }
    return Tell("save", true, "saved to " + m_Config.setupPath, 500);
}

HttpResponse Panel::Trace(const std::string& body) {
    const bool on = Json::parse(body).at("on").get<bool>();
    std::lock_guard<std::mutex> hold(m_EditLock);
    m_bTrace = on;
    if (m_bTrace) {
        m_Device.SetTrace([this](const CSerDev::TraceEvent& event) {
            // Under the device's lock: only the hub is touched.
            Contained("trace", [&] {
                m_Hub.Push("trace", Dump({{"kind", TraceArrow(event.kind)},
                                          {"bytes", Hex(event.bytes, event.count)},
                                          {"step", RequestStep(event)},
                                          {"t", (event.timeNs - m_StartNs) / 1e9}}));
            });
        });
    } else {
        m_Device.SetTrace(nullptr);
    }
    Changed();
    return JsonResponse(200, {{"trace", m_bTrace}});
}

HttpResponse Panel::SimReport(const std::string& body) {
    const Json request = Json::parse(body);
    const std::string channel = request.at("channel").get<std::string>();
    if (channel.size() != 1 || channel[0] < 'A' || channel[0] > 'H') {
        return ErrorResponse(400, "no channel \"" + channel + "\": channels are A to H");
    }
    // The report carries 32 bits of counts: a number outside them, or not
    // whole, is refused rather than wrapped or cut.
    const Json& counts = request.at("counts");
    if (!counts.is_number_unsigned() || counts.get<std::uint64_t>() > UINT32_MAX) {
        return ErrorResponse(400, "counts " + Dump(counts) + ": a whole number from 0 to " +
                                      std::to_string(UINT32_MAX) + " is taken");
    }
    m_Config.simReport(channel[0] - 'A', static_cast<unsigned>(counts.get<std::uint64_t>()));
    return JsonResponse(200, {{"sent", true}});
}

}  // namespace veltor::panel
