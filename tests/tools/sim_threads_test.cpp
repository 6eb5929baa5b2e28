// The simulator's threads (serving the line, the report stream, the TCP
// server) run inside the tool's processes: an exception on one is reported
// and ends that thread, never the process.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "sim/Threads.h"

namespace {

std::string g_Seen;

TEST(SimThreads, AnExceptionIsReportedAndEndsTheThreadOnly) {
    const vsim::ThreadFailureHandler previous =
        vsim::SetThreadFailureHandler([](const std::string& what) { g_Seen += what + ";"; });
    std::thread failing = vsim::StartQuietThread([] { throw std::runtime_error("line gone"); });
    failing.join();
    std::thread odd = vsim::StartQuietThread([] { throw 7; });
    odd.join();
    vsim::SetThreadFailureHandler(previous);
    EXPECT_EQ(g_Seen, "line gone;an exception of an unknown type;");
}

}  // namespace
