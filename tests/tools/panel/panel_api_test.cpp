// The browser panel's API without a server: access checks, status codes,
// messages and the events pushed, on a device that is not connected.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/panel/Panel.h"

using namespace veltor::panel;
using Json = nlohmann::json;

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kHost = "127.0.0.1:8123";

HttpRequest Request(const std::string& method, const std::string& path,
                    const std::string& body = "") {
    HttpRequest request;
    request.method = method;
    request.path = path;
    request.headers = {{"host", kHost}, {"x-veltor-token", kToken}};
    request.body = body;
    return request;
}

struct AccessCase {
    const char* name;
    HttpRequest request;
    int status;  // 0: let through
};

HttpRequest Without(HttpRequest request, const std::string& header) {
    request.headers.erase(header);
    return request;
}

HttpRequest With(HttpRequest request, const std::string& header, const std::string& value) {
    request.headers[header] = value;
    return request;
}

HttpRequest WithQueryToken(HttpRequest request) {
    request.headers.erase("x-veltor-token");
    request.query["token"] = kToken;
    return request;
}

TEST(PanelAccess, RequestsAreLetThroughOrRefusedWithTheirStatus) {
    const AccessRule rule{kToken, PanelHosts("127.0.0.1", 8123)};
    const HttpRequest page = Without(Request("GET", "/"), "x-veltor-token");
    const HttpRequest post = Request("POST", "/api/apply", "{}");
    const AccessCase cases[] = {
        {"the page needs no token", page, 0},
        {"the page by localhost", With(page, "host", "localhost:8123"), 0},
        {"a rebound name", With(page, "host", "evil.example:8123"), 403},
        {"another port", With(page, "host", "127.0.0.1:8124"), 403},
        {"no Host", Without(page, "host"), 403},
        {"a command with the token", post, 0},
        {"a command without it", Without(post, "x-veltor-token"), 401},
        {"a command with another", With(post, "x-veltor-token", "f" + kToken.substr(1)), 401},
        {"a command with a prefix of it", With(post, "x-veltor-token", kToken.substr(0, 31)), 401},
        {"a command with more", With(post, "x-veltor-token", kToken + "0"), 401},
        {"a command with the token in the address", WithQueryToken(post), 401},
        {"the state with the token in the address", WithQueryToken(Request("GET", "/api/state")),
         0},
        {"the state without a token", Without(Request("GET", "/api/state"), "x-veltor-token"), 401},
        {"the panel's own page", With(post, "origin", "http://127.0.0.1:8123"), 0},
        {"the panel's page by localhost", With(post, "origin", "http://localhost:8123"), 0},
        {"another site's page", With(post, "origin", "http://evil.example"), 403},
        {"another site's page with the token", With(post, "origin", "https://127.0.0.1:8123"), 403},
        {"a sandboxed page", With(post, "origin", "null"), 403},
        // Two Origin headers arrive joined, as HTTP reads repeated fields.
        {"the page's Origin and another's",
         With(post, "origin", "http://127.0.0.1:8123, http://evil.example"), 403},
        {"a body at the limit", Request("POST", "/api/setup", std::string(kMaxBodyBytes, ' ')), 0},
        {"a body over it", Request("POST", "/api/setup", std::string(kMaxBodyBytes + 1, ' ')), 413},
    };
    for (const AccessCase& c : cases) {
        const std::optional<HttpResponse> refused = Refuse(rule, c.request);
        EXPECT_EQ(refused ? refused->status : 0, c.status) << c.name;
        if (refused) {
            EXPECT_FALSE(Json::parse(refused->body).at("error").get<std::string>().empty())
                << c.name;
        }
    }
}

TEST(PanelAccess, AListenHostIsAnsweredBesideTheLoopbackNames) {
    const AccessRule rule{kToken, PanelHosts("192.168.1.5", 80)};
    EXPECT_FALSE(Refuse(rule, With(Request("GET", "/api/state"), "host", "192.168.1.5:80")));
    EXPECT_FALSE(Refuse(rule, With(Request("GET", "/api/state"), "host", "localhost:80")));
    EXPECT_TRUE(Refuse(rule, With(Request("GET", "/api/state"), "host", "192.168.1.6:80")));
}

TEST(PanelAccess, AnEmptyTokenMatchesNothing) {
    EXPECT_FALSE(SameToken("", ""));
    EXPECT_TRUE(SameToken(kToken, kToken));
}

class PanelApi : public ::testing::Test {
protected:
    PanelApi() : panel(device, Config(), veltor::setup::Setup()) {}

    static PanelConfig Config() {
        PanelConfig config;
        config.access = {kToken, PanelHosts("127.0.0.1", 8123)};
        config.port = "/dev/null";
        return config;
    }

    HttpResponse Post(const std::string& path, const std::string& body) {
        return panel.Handle(Request("POST", path, body));
    }

    // What the event stream sends next, without waiting.
    std::string Events() { return panel.NextEvents(seen, connection, 0); }

    CVeltor device;
    Panel panel;
    long long seen = 0;
    std::string connection;
};

struct StatusCase {
    const char* method;
    const char* path;
    const char* body;
    int status;
    const char* said;  // in the answer
};

TEST_F(PanelApi, EachRequestGetsItsStatusAndMessage) {
    const StatusCase cases[] = {
        {"GET", "/", "", 200, "<!doctype html>"},
        {"GET", "/panel.js", "", 200, "import"},
        {"GET", "/etc/passwd", "", 404, "no /etc/passwd"},
        {"POST", "/", "", 405, "takes GET"},
        {"GET", "/api/nothing", "", 404, "no GET"},
        {"DELETE", "/api/state", "", 405, "DELETE"},
        {"POST", "/api/setup", "{\"channels\": ", 400, "error"},
        {"POST", "/api/setup", "[1, 2]", 400, "error"},
        {"POST", "/api/setup", R"({"channels": {"A": {"mode": "delay", "delay": "soon"}}})", 400,
         "channels.A.delay"},
        {"POST", "/api/trace", "{on: true}", 400, "malformed JSON"},
        {"POST", "/api/trace", R"({"on": "yes"})", 400, "malformed JSON"},
        {"POST", "/api/channel/Z/enable", "{}", 404, "no POST"},
        {"POST", "/api/channel/A/fire", "{}", 404, "no POST"},
        {"POST", "/api/channel/A/enable", "{}", 502, "\"ok\":false"},
        {"POST", "/api/device/outputs-off", "{}", 502, "\"what\":\"outputs-off\""},
        {"GET", "/api/sim", "", 404, "--sim"},
        {"POST", "/api/sim/report", R"({"channel": "A", "counts": 1})", 404, "--sim"},
        {"POST", "/api/save", "{}", 409, "--setup FILE"},
    };
    for (const StatusCase& c : cases) {
        const HttpResponse response = panel.Handle(Request(c.method, c.path, c.body));
        EXPECT_EQ(response.status, c.status) << c.method << " " << c.path << " " << c.body;
        EXPECT_NE(response.body.find(c.said), std::string::npos)
            << c.method << " " << c.path << ": " << response.body.substr(0, 200);
    }
}

TEST_F(PanelApi, ASetupIsCheckedAsTheToolChecksIt) {
    const HttpResponse response = Post("/api/setup", R"({
        "general": {"clocks": {"CD": "3.125MHz"}},
        "channels": {"A": {"mode": "delay", "delay": "1 ns", "duration": "10 us"},
                     "C": {"mode": "delay", "delay": "1.5 us", "duration": "1 ms"}}})");
    ASSERT_EQ(response.status, 200) << response.body;
    const Json state = Json::parse(response.body);
    ASSERT_EQ(state["problems"].size(), 1u) << state["problems"];
    EXPECT_EQ(state["problems"][0]["key"], "channels.A.delay");
    EXPECT_NE(state["problems"][0]["text"].get<std::string>().find("delay 1e-09 s is outside"),
              std::string::npos);
    ASSERT_EQ(state["warnings"].size(), 1u) << state["warnings"];
    EXPECT_EQ(state["warnings"][0]["key"], "channels.C.delay");
    EXPECT_EQ(state["warnings"][0]["text"].get<std::string>().rfind("1.5 µs runs as 1.6 µs", 0),
              0u);
    EXPECT_EQ(state["times"]["C"]["delay"], "1.5 µs");
    EXPECT_EQ(state["diagram"].get<std::string>().rfind("<?xml", 0), 0u);
    EXPECT_EQ(state["connection"], "lost");

    // Nothing goes out while a time is out of range.
    const HttpResponse apply = Post("/api/apply", "{}");
    EXPECT_EQ(apply.status, 409);
    EXPECT_NE(apply.body.find("1 problem, nothing sent"), std::string::npos);
}

TEST_F(PanelApi, EveryPageIsToldOfChangesAndOutcomes) {
    EXPECT_EQ(Events(), "event: connection\ndata: {\"state\":\"lost\"}\n\n");
    EXPECT_EQ(Events(), ": still here\n\n");
    ASSERT_EQ(Post("/api/setup", R"({"channels": {"B": {"mode": "toggle"}}})").status, 200);
    ASSERT_EQ(Post("/api/channel/B/trigger", "{}").status, 502);
    const std::string events = Events();
    EXPECT_EQ(events.rfind("id: 1\nevent: state\ndata: {", 0), 0u) << events.substr(0, 100);
    EXPECT_NE(events.find("id: 2\nevent: outcome\ndata: {\"message\":\""), std::string::npos)
        << events;
    EXPECT_EQ(seen, 2);
    panel.Close();
    EXPECT_EQ(Events(), "");
}

TEST_F(PanelApi, TheEventHistoryIsBoundedInBytesAndSentInParts) {
    // Each state event holds the setup twice.
    const std::string setup =
        R"({"globalLogic": "x = in1;)" + std::string(256 * 1024, ' ') + R"("})";
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(Post("/api/setup", setup).status, 200);
    }
    EXPECT_LE(panel.KeptEventBytes(), EventHub::kKeptBytes);
    std::size_t largest = 0;
    for (std::string part = Events(); part != ": still here\n\n"; part = Events()) {
        largest = std::max(largest, part.size());
    }
    EXPECT_EQ(seen, 64);
    // A page from the start gets the history a few events at a time.
    EXPECT_LT(largest, 4 * setup.size()) << "the history was joined whole";
}

TEST(PanelSim, ReportCountsOutsideTheInstrumentsRangeAreRefused) {
    std::vector<unsigned> sent;
    PanelConfig config;
    config.access = {kToken, PanelHosts("127.0.0.1", 8123)};
    config.simState = [] { return std::string("{}"); };
    config.simReport = [&sent](int, unsigned counts) { sent.push_back(counts); };
    CVeltor device;
    Panel panel(device, config, veltor::setup::Setup());
    const std::pair<const char*, int> cases[] = {
        {"300", 200},   {"4294967295", 200}, {"0", 200},     {"-1", 400},   {"4294967301", 400},
        {"1e300", 400}, {"1.5", 400},        {"\"7\"", 400}, {"null", 400},
    };
    for (const auto& [counts, status] : cases) {
        const std::string body = std::string(R"({"channel": "A", "counts": )") + counts + "}";
        const HttpResponse response = panel.Handle(Request("POST", "/api/sim/report", body));
        EXPECT_EQ(response.status, status) << counts << ": " << response.body;
    }
    EXPECT_EQ(sent, (std::vector<unsigned>{300, 4294967295u, 0}));
}

TEST_F(PanelApi, TheSetupFileNamedIsTheOneSaved) {
    const std::string path = ::testing::TempDir() + "panel_saved.json";
    PanelConfig config = Config();
    config.setupPath = path;
    CVeltor other;
    Panel saving(other, config, veltor::setup::Setup());
    ASSERT_EQ(saving.Handle(Request("POST", "/api/setup", R"({"globalLogic": "x = in1;"})")).status,
              200);
    const HttpResponse saved = saving.Handle(Request("POST", "/api/save", "{}"));
    EXPECT_EQ(saved.status, 200) << saved.body;
    std::ifstream file(path);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(veltor::setup::Parse(text).globalLogic, "x = in1;");
    std::remove(path.c_str());
}

}  // namespace
