#include "sim/Threads.h"

#include <atomic>
#include <cstdio>

namespace vsim {

namespace {

std::atomic<ThreadFailureHandler> g_Handler{nullptr};

}  // namespace

ThreadFailureHandler SetThreadFailureHandler(ThreadFailureHandler handler) {
    return g_Handler.exchange(handler);
}

void ReportThreadFailure(const std::string& what) {
    const ThreadFailureHandler handler = g_Handler.load();
    if (handler != nullptr) {
        handler(what);
        return;
    }
    std::fprintf(stderr, "veltor-sim: a simulator thread stopped: %s\n", what.c_str());
}

}  // namespace vsim
