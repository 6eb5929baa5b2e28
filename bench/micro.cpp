// Pure-code throughput: compiling logic and writing timing-mode payloads.
#include <benchmark/benchmark.h>
#include <veltor/veltor.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A large global logic: 60 symbols, each over the ones before it.
std::string LargeGlobalLogic() {
    std::string text = "g0 = in1 & in2;\n";
    for (int i = 1; i < 60; ++i) {
        const std::string previous = "g" + std::to_string(i - 1);
        text += "g" + std::to_string(i) + " = (in" + std::to_string(i % 8 + 1) + " ^ " +
                (i % 3 == 0 ? "outA" : "in3") + ") | !in" + std::to_string((i + 3) % 8 + 1) + ";\n";
        (void)previous;
    }
    return text;
}

void GlobalAndChannelLogic(benchmark::State& state) {
    const std::string global = LargeGlobalLogic();
    CVeltor device;
    for (char c = 'A'; c <= 'H'; ++c) {
        const std::string logic = std::string("x = g10 & (g20 | !g30);\nin") + c +
                                  " = (x ^ g59) | (in1 & !(in2 | outB));";
        device.GetChannel(c)->SetChannelLogic(logic.c_str());
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(device.SetGlobalLogic(global.c_str()));
        for (char c = 'A'; c <= 'H'; ++c) {
            benchmark::DoNotOptimize(device.GetChannel(c)->CompileLogic());
        }
    }
    state.SetItemsProcessed(state.iterations() * 9);  // one global text and eight channel texts
}
BENCHMARK(GlobalAndChannelLogic);

void PayloadsOfAllNineModes(benchmark::State& state) {
    CVeltor device;
    std::vector<std::unique_ptr<CTimingMode>> modes;
    modes.push_back(std::make_unique<CDelayDurate>());
    modes.push_back(std::make_unique<CDynDelayDurate>());
    modes.push_back(std::make_unique<CToggle>());
    modes.push_back(std::make_unique<CCount>());
    modes.push_back(std::make_unique<CUpDown>());
    modes.push_back(std::make_unique<CValidate>());
    modes.push_back(std::make_unique<CClock>());
    modes.push_back(std::make_unique<CPassive>());
    modes.push_back(std::make_unique<CNull>());
    unsigned char buffer[64];
    for (auto _ : state) {
        for (auto& mode : modes) {
            benchmark::DoNotOptimize(mode->CheckParameters(&device, 'C'));
            benchmark::DoNotOptimize(mode->MakeCommand(buffer, &device, 'C'));
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(modes.size()));
}
BENCHMARK(PayloadsOfAllNineModes);

}  // namespace

BENCHMARK_MAIN();
