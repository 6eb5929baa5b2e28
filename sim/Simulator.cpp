#include "sim/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "sim/Threads.h"
#include "sim/Wire.h"

namespace vsim {

namespace {

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

double SpeedToBitsPerSecond(speed_t s) {
    switch (s) {
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        case B921600:
            return 921600;
        default:
            return 0;
    }
}

const std::vector<uint8_t> kDefaultNoise = {0x00, 0x13, 0x7F, 0xC3};

int64_t Millis(int ms) {
    return static_cast<int64_t>(ms) * 1000000;
}

// Ten bit times per byte: start bit, eight data bits, stop bit.
std::chrono::nanoseconds ByteTime(double bitsPerSecond) {
    return std::chrono::nanoseconds(static_cast<int64_t>(10.0 * 1e9 / bitsPerSecond));
}

}  // namespace

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::None:
            return "none";
        case FaultKind::NoAnswer:
            return "no-answer";
        case FaultKind::Negative:
            return "negative";
        case FaultKind::BadChecksum:
            return "bad-checksum";
        case FaultKind::Split:
            return "split";
        case FaultKind::Delay:
            return "delay";
        case FaultKind::HeaderOnly:
            return "header-only";
        case FaultKind::WrongLead:
            return "wrong-lead";
        case FaultKind::ReportFirst:
            return "report-first";
        case FaultKind::Noise:
            return "noise";
        case FaultKind::Replace:
            return "replace";
        case FaultKind::Late:
            return "late";
        case FaultKind::ReportAfter:
            return "report-after";
        case FaultKind::CutReport:
            return "cut-report";
        case FaultKind::HangUp:
            return "hang-up";
    }
    return "?";
}

Simulator::Simulator() {
    masterFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd_ < 0) {
        ThrowErrno("posix_openpt");
    }
    try {
        if (grantpt(masterFd_) != 0) {
            ThrowErrno("grantpt");
        }
        if (unlockpt(masterFd_) != 0) {
            ThrowErrno("unlockpt");
        }
        char name[256];
        if (ptsname_r(masterFd_, name, sizeof name) != 0) {
            ThrowErrno("ptsname_r");
        }
        slavePath_ = name;
        slaveFd_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slaveFd_ < 0) {
            ThrowErrno("open pty slave");
        }
        // Raw until the host sets its own line: above all no echo, which
        // would send the instrument's output straight back to it.
        termios tio{};
        if (tcgetattr(slaveFd_, &tio) != 0) {
            ThrowErrno("tcgetattr");
        }
        cfmakeraw(&tio);
        if (tcsetattr(slaveFd_, TCSANOW, &tio) != 0 || tcsetattr(masterFd_, TCSANOW, &tio) != 0) {
            ThrowErrno("tcsetattr");
        }
        const int flags = fcntl(masterFd_, F_GETFL);
        if (flags < 0 || fcntl(masterFd_, F_SETFL, flags | O_NONBLOCK) != 0 ||
            fcntl(masterFd_, F_SETFD, FD_CLOEXEC) != 0) {
            ThrowErrno("fcntl");
        }
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd_ < 0) {
            ThrowErrno("eventfd");
        }
        thread_ = StartQuietThread([this] { Serve(); });
    } catch (...) {
        for (int fd : {wakeFd_, slaveFd_, masterFd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        throw;
    }
}

Simulator::~Simulator() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopCv_.notify_all();
    stop_ = true;
    const uint64_t one = 1;
    // Stays readable from now on, so every later poll returns at once.
    (void)!write(wakeFd_, &one, sizeof one);
    StopReportStream();
    thread_.join();
    close(wakeFd_);
    if (slaveFd_ >= 0) {
        close(slaveFd_);
    }
    close(masterFd_);
}

// ---- Serving ---------------------------------------------------------------

void Simulator::Serve() {
    struct Ended {
        Simulator* self;
        ~Ended() {
            {
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->serving_ = false;
            }
            self->changed_.notify_all();
        }
    } ended{this};

    uint8_t buf[4096];
    while (!stop_ && !lineGone_) {
        pollfd fds[2] = {{masterFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            return;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        size_t budget = sizeof buf;
        const double speed = readPacing_ ? LineSpeed() : 0.0;
        if (speed > 0.0) {
            budget = std::min(budget, PacedReadBudget(speed));
            if (budget == 0) {
                return;
            }
        }
        const ssize_t n = read(masterFd_, buf, budget);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            // The slave is held open, so this should not happen; if the line
            // is gone all the same, wait for the end rather than spin.
            pollfd wake = {wakeFd_, POLLIN, 0};
            while (!stop_ && poll(&wake, 1, -1) < 0 && errno == EINTR) {
            }
            return;
        }
        if (speed > 0.0) {
            // Only what was read has used up line time.
            lineFreeAt_ += ByteTime(speed) * n;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raw_.insert(raw_.end(), buf, buf + n);
        }
        changed_.notify_all();
        for (const std::vector<uint8_t>& frame : parser_.Feed(buf, static_cast<size_t>(n))) {
            HandleFrame(frame);
            if (stop_ || lineGone_) {
                return;
            }
        }
    }
}

size_t Simulator::PacedReadBudget(double bitsPerSecond) {
    const std::chrono::nanoseconds byteTime = ByteTime(bitsPerSecond);
    const Clock::time_point now = Clock::now();
    // Bytes left waiting by the previous slice were sent back to back: the
    // line was busy all along, and a pause overslept on a loaded machine
    // must not slow it down (the slices then catch up). After a silence the
    // line starts afresh now.
    if (!lineBusy_ && now - lineFreeAt_ > std::chrono::milliseconds(2)) {
        lineFreeAt_ = now;
    }
    // Take what is waiting in slices of about a millisecond, so that a fast
    // line costs few wake-ups and a slow one still goes byte by byte.
    int waiting = 0;
    if (ioctl(masterFd_, FIONREAD, &waiting) != 0 || waiting < 1) {
        waiting = 1;
    }
    const int64_t perMs = std::max<int64_t>(1, std::chrono::milliseconds(1) / byteTime);
    const int64_t take = std::min<int64_t>(waiting, perMs);
    lineBusy_ = waiting > take;
    if (!PauseUntil(lineFreeAt_ + byteTime * take)) {
        return 0;
    }
    return static_cast<size_t>(take);
}

Fault Simulator::NextFault() {
    if (!faults_.empty()) {
        Fault f = faults_.front();
        faults_.pop_front();
        return f;
    }
    if (rateProbability_ > 0.0 && rateFault_.kind != FaultKind::None) {
        std::uniform_real_distribution<double> draw(0.0, 1.0);
        if (draw(rng_) < rateProbability_) {
            return rateFault_;
        }
    }
    return Fault{};
}

void Simulator::HandleFrame(const std::vector<uint8_t>& raw) {
    Frame rec;
    rec.raw = raw;
    rec.valid = Instrument::ParseFrame(raw.data(), raw.size(), &rec.payload);

    Fault fault;
    uint32_t reportDelay = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fault = NextFault();
        if (fault.kind == FaultKind::Negative) {
            rec.answer = Instrument::NegativeAnswer();
        } else if (fault.kind != FaultKind::NoAnswer && fault.kind != FaultKind::HangUp) {
            rec.answer = instrument_.HandleRequest(raw);
        }
        if (fault.reportChannel >= 0 && fault.reportChannel < kChannelCount) {
            reportDelay = instrument_.State().ch[fault.reportChannel].delayCounts;
        }
    }
    rec.fault = fault.kind;
    const std::vector<uint8_t> report =
        Instrument::DelayReport(fault.reportChannel, fault.reportCounts.value_or(reportDelay));

    // What goes on the line, after the fault has had its way.
    std::vector<uint8_t> out = rec.answer;
    int gapMs = 0;
    size_t chunk = out.size();
    switch (fault.kind) {
        case FaultKind::BadChecksum:
            if (out.size() >= 3) {
                out.back() = static_cast<uint8_t>(out.back() + 1);
            }
            break;
        case FaultKind::Split:
            chunk = fault.chunk > 0 ? static_cast<size_t>(fault.chunk) : 1;
            gapMs = fault.gapMs;
            break;
        case FaultKind::HeaderOnly:
            if (out.size() > 2) {
                out.resize(2);
            }
            break;
        case FaultKind::WrongLead:
            out[0] = fault.lead;
            break;
        case FaultKind::ReportFirst:
            out.insert(out.begin(), report.begin(), report.end());
            break;
        case FaultKind::ReportAfter:
            out.insert(out.end(), report.begin(), report.end());
            break;
        case FaultKind::CutReport: {
            const size_t cut = std::min(report.size(), static_cast<size_t>(std::max(0, fault.cut)));
            out.insert(out.begin(), report.begin(), report.begin() + cut);
            break;
        }
        case FaultKind::Noise: {
            const std::vector<uint8_t>& noise = fault.noise.empty() ? kDefaultNoise : fault.noise;
            out.insert(out.begin(), noise.begin(), noise.end());
            break;
        }
        case FaultKind::Replace:
            out = fault.replacement;
            break;
        default:
            break;
    }
    std::vector<std::vector<uint8_t>> chunks;
    for (size_t i = 0; i < out.size(); i += chunk) {
        chunks.emplace_back(out.begin() + i, out.begin() + std::min(out.size(), i + chunk));
    }

    if (verbose_) {
        std::fprintf(stderr, "<- %s\n", ToHex(raw).c_str());
    }
    // An answer held back by an earlier request goes out now that this
    // request has arrived, ahead of this request's own answer.
    std::optional<HeldAnswer> late = std::move(held_);
    held_.reset();
    // Record before answering, so that a host that has its answer finds
    // the request and its effect already in the log and the state.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (late) {
            rec.lateBefore = late->bytes;
            if (late->frameNumber >= framesCleared_) {
                Frame& earlier = frames_[late->frameNumber - framesCleared_];
                earlier.held = false;
                earlier.written = late->bytes;
            }
        }
        if (fault.kind == FaultKind::Late) {
            rec.held = true;
            held_ = HeldAnswer{out, fault.delayMs, framesCleared_ + frames_.size()};
        } else {
            rec.written = out;
        }
        frames_.push_back(std::move(rec));
    }
    changed_.notify_all();

    if (late) {
        if (late->delayMs > 0 && !Pause(Millis(late->delayMs))) {
            return;
        }
        if (verbose_) {
            std::fprintf(stderr, "-> %s  (late answer)\n", ToHex(late->bytes).c_str());
        }
        if (!WriteOut({late->bytes}, 0)) {
            return;
        }
    }
    if (fault.kind == FaultKind::HangUp) {
        if (verbose_) {
            std::fprintf(stderr, "-> (hang-up)\n");
        }
        HangUpLine(true);
        return;
    }
    if (fault.kind == FaultKind::Late) {
        if (verbose_) {
            std::fprintf(stderr, "-> (held back: late)\n");
        }
        return;
    }

    if (fault.delayMs > 0 && !Pause(Millis(fault.delayMs))) {
        return;
    }
    if (verbose_) {
        if (out.empty()) {
            std::fprintf(stderr, "-> (no answer: %s)\n", FaultName(fault.kind));
        } else {
            std::fprintf(stderr, "-> %s%s%s\n", ToHex(out).c_str(),
                         fault.kind == FaultKind::None ? "" : "  fault: ",
                         fault.kind == FaultKind::None ? "" : FaultName(fault.kind));
        }
    }
    WriteOut(chunks, gapMs);
}

// ---- Output ----------------------------------------------------------------

bool Simulator::Pause(int64_t nanoseconds, const std::atomic<bool>* alsoStop) {
    return PauseUntil(Clock::now() + std::chrono::nanoseconds(nanoseconds), alsoStop);
}

bool Simulator::PauseUntil(Clock::time_point t, const std::atomic<bool>* alsoStop) {
    std::unique_lock<std::mutex> lock(stopMutex_);
    return !stopCv_.wait_until(
        lock, t, [&] { return stopping_ || lineGone_ || (alsoStop != nullptr && *alsoStop); });
}

bool Simulator::WriteAll(const uint8_t* p, size_t n, const std::atomic<bool>* cancel) {
    while (n > 0) {
        const ssize_t w = write(masterFd_, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && errno != EAGAIN) {
            return false;
        }
        // The host is not reading: wait for room, or for the end. A
        // cancellable writer looks up now and then, as nothing signals it.
        pollfd fds[2] = {{masterFd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(fds, 2, cancel != nullptr ? 10 : -1) < 0 && errno != EINTR) {
            return false;
        }
        if ((fds[1].revents & POLLIN) != 0 || (cancel != nullptr && *cancel)) {
            return false;
        }
    }
    return true;
}

bool Simulator::WritePaced(const uint8_t* p, size_t n, double bitsPerSecond,
                           const std::atomic<bool>* cancel) {
    // Each byte leaves when the one before has had its time on the line;
    // the schedule is kept from the start, so that oversleeping does not
    // slow the line down, and whatever is due after a late wake-up goes out
    // together.
    const std::chrono::nanoseconds byteTime = ByteTime(bitsPerSecond);
    const Clock::time_point start = Clock::now();
    size_t done = 0;
    while (done < n) {
        const size_t due = std::min(
            n, std::max(done + 1, static_cast<size_t>((Clock::now() - start) / byteTime) + 1));
        if (!WriteAll(p + done, due - done, cancel)) {
            return false;
        }
        done = due;
        if (!PauseUntil(start + byteTime * done)) {
            return false;
        }
    }
    return true;
}

bool Simulator::WriteOut(const std::vector<std::vector<uint8_t>>& chunks, int gapMs,
                         const std::atomic<bool>* cancel) {
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    if (lineGone_) {
        return false;
    }
    const double speed = pacing_ ? LineSpeed() : 0.0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        if (i > 0 && gapMs > 0 && !Pause(Millis(gapMs))) {
            return false;
        }
        const std::vector<uint8_t>& c = chunks[i];
        {
            // Logged first, so that whoever has read the bytes finds them here.
            std::lock_guard<std::mutex> lock(mutex_);
            sent_.insert(sent_.end(), c.begin(), c.end());
        }
        const bool ok = speed > 0.0 ? WritePaced(c.data(), c.size(), speed, cancel)
                                    : WriteAll(c.data(), c.size(), cancel);
        if (!ok) {
            return false;
        }
    }
    return true;
}

double Simulator::LineSpeed() const {
    // For a pseudo-terminal the master reports the line settings the host
    // made on the slave.
    termios tio{};
    if (tcgetattr(masterFd_, &tio) != 0) {
        return 0.0;
    }
    return SpeedToBitsPerSecond(cfgetospeed(&tio));
}

void Simulator::SendDelayReport(int channel, uint32_t counts) {
    SendBytes(Instrument::DelayReport(channel, counts));
}

void Simulator::SendBytes(const std::vector<uint8_t>& bytes) {
    if (verbose_) {
        std::fprintf(stderr, "-> %s  (unasked)\n", ToHex(bytes).c_str());
    }
    WriteOut({bytes}, 0);
}

void Simulator::SendChunks(const std::vector<std::vector<uint8_t>>& chunks, int gapMs) {
    if (verbose_) {
        for (const auto& c : chunks) {
            std::fprintf(stderr, "-> %s  (unasked chunk)\n", ToHex(c).c_str());
        }
    }
    WriteOut(chunks, gapMs);
}

// ---- Report stream ---------------------------------------------------------

void Simulator::StartReportStream(int channel, uint32_t firstCounts, int intervalUs) {
    std::lock_guard<std::mutex> control(streamControl_);
    if (streamThread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(stopMutex_);
            streamStop_ = true;
        }
        stopCv_.notify_all();
        streamThread_.join();
    }
    streamStop_ = false;
    streamed_ = 0;
    streamThread_ = StartQuietThread([this, channel, firstCounts, intervalUs] {
        StreamReports(channel, firstCounts, intervalUs);
    });
}

size_t Simulator::StopReportStream() {
    std::lock_guard<std::mutex> control(streamControl_);
    if (!streamThread_.joinable()) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        streamStop_ = true;
    }
    stopCv_.notify_all();
    streamThread_.join();
    const size_t n = streamed_;
    streamed_ = 0;
    return n;
}

void Simulator::StreamReports(int channel, uint32_t firstCounts, int intervalUs) {
    const std::chrono::microseconds interval(std::max(0, intervalUs));
    Clock::time_point next = Clock::now();
    for (uint32_t i = 0; !streamStop_; ++i) {
        const int ch = channel < 0 ? static_cast<int>(i % kChannelCount) : channel;
        const std::vector<uint8_t> report = Instrument::DelayReport(ch, firstCounts + i);
        if (verbose_) {
            std::fprintf(stderr, "-> %s  (report stream)\n", ToHex(report).c_str());
        }
        // A report once begun is finished, unless the line is full: a stop
        // must not leave half a report on the line of a host that reads.
        if (!WriteOut({report}, 0, &streamStop_)) {
            return;
        }
        ++streamed_;
        // Keep to the schedule, but after falling behind (a blocked or paced
        // line) start again from now instead of bursting to catch up.
        next += interval;
        const Clock::time_point now = Clock::now();
        if (next < now) {
            next = now;
        }
        if (!PauseUntil(next, &streamStop_)) {
            return;
        }
    }
}

// ---- Hang-up ----------------------------------------------------------------

void Simulator::HangUp() {
    HangUpLine(false);
}

void Simulator::HangUpLine(bool fromServer) {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        lineGone_ = true;
    }
    stopCv_.notify_all();
    const uint64_t one = 1;
    // Every poll on the master gives up; none may hold it while it closes,
    // or the close would not reach the slave until that poll returned.
    (void)!write(wakeFd_, &one, sizeof one);
    if (!fromServer) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !serving_; });
    }
    // Writers give up at the wake-up above; the last one out leaves the
    // line to be closed.
    std::lock_guard<std::mutex> writeLock(writeMutex_);
    if (lineClosed_) {
        return;
    }
    lineClosed_ = true;
    close(slaveFd_);
    slaveFd_ = -1;
    // The master's descriptor number is kept, from now on naming a second
    // handle of the eventfd, so that a late LineSpeed() from any thread can
    // never reach a descriptor reused for something else. Replacing it
    // closes the master.
    while (dup3(wakeFd_, masterFd_, O_CLOEXEC) < 0 && errno == EINTR) {
    }
}

// ---- Observation and settings ---------------------------------------------

std::vector<uint8_t> Simulator::RawReceived() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_;
}

std::vector<Frame> Simulator::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t Simulator::FrameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

std::vector<uint8_t> Simulator::Sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

bool Simulator::WaitForFrames(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return frames_.size() >= n; });
}

bool Simulator::WaitForRawBytes(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return raw_.size() >= n; });
}

InstrumentState Simulator::State() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return instrument_.State();
}

void Simulator::ClearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    raw_.clear();
    framesCleared_ += frames_.size();
    frames_.clear();
    sent_.clear();
}

void Simulator::SetChannelDelay(int channel, uint32_t counts) {
    std::lock_guard<std::mutex> lock(mutex_);
    instrument_.SetChannelDelay(channel, counts);
}

void Simulator::SetReferenceHz(double hz) {
    std::lock_guard<std::mutex> lock(mutex_);
    instrument_.SetReferenceHz(hz);
}

void Simulator::QueueFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
}

void Simulator::QueueFaults(const Fault& fault, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < count; ++i) {
        faults_.push_back(fault);
    }
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    rateProbability_ = 0.0;
}

void Simulator::SetFaultRate(const Fault& fault, double probability, uint32_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    rateFault_ = fault;
    rateProbability_ = probability;
    rng_.seed(seed);
}

void Simulator::SetFaultRate(FaultKind kind, double probability, uint32_t seed) {
    Fault f;
    f.kind = kind;
    if (kind == FaultKind::Delay) {
        f.delayMs = 50;
    } else if (kind == FaultKind::Split) {
        f.chunk = 1;
        f.gapMs = 1;
    }
    SetFaultRate(f, probability, seed);
}

}  // namespace vsim
