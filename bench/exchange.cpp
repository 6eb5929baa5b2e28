// veltor-bench-exchange: end-to-end figures of the library on a
// pseudo-terminal against an instrument process (veltor-sim), beside the
// smallest possible client on the same terminal. One mode per run; each
// prints one line "key value ..." that bench/run collects.
//
//   frame               the enable-outputs request in hex (for other clients)
//   raw PATH N          the floor: write the frame, poll()/read() the answer
//   raw-threaded PATH N the same in a process with a second, idle thread
//   handoff PATH N      the same with a reader thread handing answers over
//   library PATH N      CmdEnableOutputs through the library
//   raw-untimed, library-untimed PATH N
//                       the same without clock reads or latency records in the
//                       loop (for counting the instructions of the exchange)
//   update PATH         CmdUpdateAll of eight channels with logic (paced sim)
//   idle PATH SECONDS   CPU time of a connected device with nothing to do
//   allocs PATH N       heap allocations per command in the steady state
//   scale N PATH...     one device per path, one thread each, N exchanges each
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <veltor/veltor.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> g_Allocations{0};
// Off for the instruction counts: no clock reads or latency records in the
// loop, so that only the exchange itself is counted.
bool g_Timed = true;

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void PrintLatencies(const char* name, std::vector<double> us) {
    if (!g_Timed) {
        std::printf("%s untimed\n", name);
        return;
    }
    std::sort(us.begin(), us.end());
    const double median = us[us.size() / 2];
    const double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    std::printf("%s median_us %.2f p99_us %.2f n %zu\n", name, median, p99, us.size());
}

CCommand EnableOutputs() {
    const unsigned char payload = 0x80;
    return CCommand(0xD8, &payload, 1, "Enabling outputs...", 0, 500, 5);
}

// `idleThread`: the process has a second thread, as a client of the library
// has its watcher, that waits in the kernel the whole time and never runs.
int Raw(const char* path, int n, bool idleThread = false) {
    const int idle = eventfd(0, 0);
    std::thread sleeper;
    if (idleThread) {
        sleeper = std::thread([idle] {
            pollfd p{idle, POLLIN, 0};
            poll(&p, 1, -1);
        });
    }
    const int fd = open(path, O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd, TCSANOW, &t);
    const CCommand command = EnableOutputs();
    std::vector<double> us;
    unsigned char answer[260];
    for (int i = 0; i < n + n / 10; ++i) {
        const auto start = g_Timed ? Clock::now() : Clock::time_point();
        if (write(fd, command.m_Request, command.m_RequestLength) != command.m_RequestLength) {
            return 1;
        }
        size_t have = 0;
        size_t want = 2;
        while (have < want) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 1000);
            const ssize_t got = read(fd, answer + have, sizeof(answer) - have);
            if (got <= 0) {
                return 1;
            }
            have += static_cast<size_t>(got);
            if (have >= 2) {
                want = 2 + answer[1];
            }
        }
        if (g_Timed && i >= n / 10) {  // the first tenth warms up
            us.push_back(Us(Clock::now() - start));
        }
    }
    PrintLatencies(idleThread ? "raw-threaded" : "raw", us);
    if (idleThread) {
        const uint64_t one = 1;
        (void)!write(idle, &one, sizeof(one));
        sleeper.join();
    }
    close(idle);
    return 0;
}

// The floor of a design with a reader thread: the raw client, but a thread
// of its own reads each answer and hands it over through an eventfd, as the
// library's watcher does. Its distance from `raw` is what the hand-off
// costs on this machine.
int RawHandOff(const char* path, int n) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    const int ev = eventfd(0, 0);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        unsigned char buf[260];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) > 0 && read(fd, buf, sizeof(buf)) > 0) {
                const uint64_t one = 1;
                (void)!write(ev, &one, 8);
            }
        }
    });
    const CCommand command = EnableOutputs();
    std::vector<double> us;
    for (int i = 0; i < n + n / 10; ++i) {
        const auto start = Clock::now();
        (void)!write(fd, command.m_Request, command.m_RequestLength);
        uint64_t v;
        pollfd p{ev, POLLIN, 0};
        poll(&p, 1, 1000);
        (void)!read(ev, &v, 8);
        if (i >= n / 10) {
            us.push_back(Us(Clock::now() - start));
        }
    }
    stop = true;
    reader.join();
    PrintLatencies("handoff", us);
    return 0;
}

bool Connect(CVeltor& device, const char* path) {
    if (device.InitConnection(path, CSerDev::kBaud115200) != 0) {
        std::fprintf(stderr, "cannot connect to %s: %s\n", path, device.GetLastError().c_str());
        return false;
    }
    // The burst is through once the first command is answered.
    return device.CmdDisableOutputs();
}

int Library(const char* path, int n) {
    CVeltor device;
    if (!Connect(device, path)) {
        return 1;
    }
    std::vector<double> us;
    for (int i = 0; i < n + n / 10; ++i) {
        const auto start = g_Timed ? Clock::now() : Clock::time_point();
        if (!device.CmdEnableOutputs()) {
            return 1;
        }
        if (g_Timed && i >= n / 10) {
            us.push_back(Us(Clock::now() - start));
        }
    }
    PrintLatencies("library", us);
    return 0;
}

int Update(const char* path) {
    CVeltor device;
    if (!Connect(device, path)) {
        return 1;
    }
    CDelayDurate modes[8];
    for (char c = 'A'; c <= 'H'; ++c) {
        device.GetChannel(c)->SetTimingMode(&modes[c - 'A']);
        const std::string logic = std::string("in") + c + " = (in1 & !in2) | (in3 ^ outA);";
        device.GetChannel(c)->SetChannelLogic(logic.c_str());
    }
    long long bytes = 0;
    device.SetTrace([&bytes](const CSerDev::TraceEvent& e) {
        if (e.kind != CSerDev::TraceEvent::kUnasked) {
            bytes += static_cast<long long>(e.count);
        }
    });
    const auto start = Clock::now();
    const bool ok = device.CmdUpdateAll();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    device.SetTrace(nullptr);
    const double wire = bytes * 10.0 / 115200.0;
    std::printf("update ok %d seconds %.4f wire_seconds %.4f bytes %lld\n", ok ? 1 : 0, seconds,
                wire, bytes);
    return ok ? 0 : 1;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int Idle(const char* path, double seconds) {
    CVeltor device;
    if (!Connect(device, path)) {
        return 1;
    }
    const double before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = CpuSeconds() - before;
    std::printf("idle seconds %.1f cpu_seconds %.6f core_percent %.4f\n", seconds, used,
                100.0 * used / seconds);
    return 0;
}

int Allocs(const char* path, int n) {
    CVeltor device;
    if (!Connect(device, path)) {
        return 1;
    }
    for (int i = 0; i < 100; ++i) {
        device.CmdEnableOutputs();
    }
    const long before = g_Allocations.load();
    for (int i = 0; i < n; ++i) {
        device.CmdEnableOutputs();
    }
    std::printf("allocs per_command %.3f n %d\n",
                static_cast<double>(g_Allocations.load() - before) / n, n);
    return 0;
}

int Scale(int n, const std::vector<const char*>& paths) {
    std::vector<std::unique_ptr<CVeltor>> devices;
    for (const char* path : paths) {
        devices.push_back(std::make_unique<CVeltor>());
        if (!Connect(*devices.back(), path)) {
            return 1;
        }
    }
    std::atomic<long> failures{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (auto& device : devices) {
        threads.emplace_back([&device, n, &failures] {
            for (int i = 0; i < n; ++i) {
                if (!device->CmdEnableOutputs()) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("scale devices %zu exchanges_per_second %.0f failures %ld\n", devices.size(),
                devices.size() * n / seconds, failures.load());
    return failures == 0 ? 0 : 1;
}

}  // namespace

void* operator new(std::size_t size) {
    ++g_Allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "frame") {
        const CCommand command = EnableOutputs();
        for (int i = 0; i < command.m_RequestLength; ++i) {
            std::printf("%02X", command.m_Request[i]);
        }
        std::printf("\n");
        return 0;
    }
    if ((mode == "raw-untimed" || mode == "library-untimed") && argc == 4) {
        g_Timed = false;
        return mode == "raw-untimed" ? Raw(argv[2], std::atoi(argv[3]))
                                     : Library(argv[2], std::atoi(argv[3]));
    }
    if (mode == "raw-threaded" && argc == 4) {
        return Raw(argv[2], std::atoi(argv[3]), true);
    }
    if (mode == "raw" && argc == 4) {
        return Raw(argv[2], std::atoi(argv[3]));
    }
    if (mode == "handoff" && argc == 4) {
        return RawHandOff(argv[2], std::atoi(argv[3]));
    }
    if (mode == "library" && argc == 4) {
        return Library(argv[2], std::atoi(argv[3]));
    }
    if (mode == "update" && argc == 3) {
        return Update(argv[2]);
    }
    if (mode == "idle" && argc == 4) {
        return Idle(argv[2], std::atof(argv[3]));
    }
    if (mode == "allocs" && argc == 4) {
        return Allocs(argv[2], std::atoi(argv[3]));
    }
    if (mode == "scale" && argc >= 4) {
        return Scale(std::atoi(argv[2]), std::vector<const char*>(argv + 3, argv + argc));
    }
    std::fprintf(
        stderr,
        "usage: %s raw|library[-untimed] PATH N | update PATH | idle PATH SECONDS | allocs PATH N "
        "| scale N PATH...\n",
        argv[0]);
    return 2;
}
