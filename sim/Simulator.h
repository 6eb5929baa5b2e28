// The simulated instrument served on a pseudo-terminal: the host opens the
// slave side as its serial port, the simulator answers on the master side.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/FrameParser.h"
#include "sim/Instrument.h"

namespace vsim {

enum class FaultKind {
    None,
    NoAnswer,     // the request is swallowed: not carried out, nothing written
    Negative,     // answered EE 00 and not carried out
    BadChecksum,  // carried out; the answer's checksum byte is wrong
    Split,        // carried out; the answer goes out `chunk` bytes per write, `gapMs` apart
    Delay,        // carried out; the answer goes out after `delayMs`
    HeaderOnly,   // carried out; only the first two bytes of the answer are written
    WrongLead,    // carried out; the answer's lead byte is replaced by `lead`
    ReportFirst,  // carried out; a delay report precedes the answer in the same write
    Noise,        // carried out; `noise` (or a default) precedes the answer
    Replace,      // carried out; `replacement` goes out instead of the answer
    // Carried out; the answer is held back until the next request has been
    // received and goes out just before that request's answer, as its own
    // write. Without a next request it never goes out.
    Late,
    ReportAfter,  // carried out; a delay report follows the answer in the same write
    CutReport,    // carried out; the first `cut` bytes of a delay report precede the answer
    // Logged but not carried out; the line hangs up instead of answering
    // (see Simulator::HangUp).
    HangUp,
};

const char* FaultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::None;
    int delayMs = 0;                   // pause before the answer, honoured for every kind
    int chunk = 1;                     // Split: bytes per write
    int gapMs = 0;                     // Split: pause between writes
    std::vector<uint8_t> noise;        // Noise: bytes written first; empty = 00 13 7F C3
    uint8_t lead = 0x51;               // WrongLead: the lead byte written instead
    std::vector<uint8_t> replacement;  // Replace: the bytes written instead of the answer
    // ReportFirst, ReportAfter, CutReport: the report's channel and counts;
    // without counts, the delay a query of that channel answers.
    int reportChannel = 0;
    std::optional<uint32_t> reportCounts;
    int cut = 3;  // CutReport: how many of the report's bytes go out
};

// One request frame as the simulator received it.
struct Frame {
    std::vector<uint8_t> raw;      // 0x25 through the checksum
    bool valid = false;            // lead, frame code, length, pad and checksum correct
    std::vector<uint8_t> payload;  // the payload of a valid frame, else empty
    FaultKind fault = FaultKind::None;
    std::vector<uint8_t> answer;  // the instrument's answer before any fault (empty: none)
    // What went out on the line for this request. For a Late answer it is
    // filled in when the held answer finally goes out.
    std::vector<uint8_t> written;
    bool held = false;  // Late: the answer is still held back
    // An earlier request's held-back answer, written after this request was
    // received and just before this request's own answer.
    std::vector<uint8_t> lateBefore;
};

class Simulator {
public:
    // Opens the pseudo-terminal and starts serving. Throws std::system_error.
    Simulator();
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Path of the slave side, for the host to open as its serial port.
    std::string SlavePath() const { return slavePath_; }

    // ---- Observation (thread-safe) ----
    std::vector<uint8_t> RawReceived() const;  // every byte read, frames or not
    std::vector<Frame> Frames() const;
    size_t FrameCount() const;
    // Every byte handed to the line (logged just before it is written),
    // answers and unasked output alike.
    std::vector<uint8_t> Sent() const;
    // Wait until at least n frames / raw bytes were received since the last
    // ClearLog; false on timeout.
    bool WaitForFrames(size_t n, int timeoutMs);
    bool WaitForRawBytes(size_t n, int timeoutMs);
    InstrumentState State() const;
    // Empties the raw, frame and sent logs (the instrument's state stays).
    void ClearLog();

    // ---- Instrument settings ----
    void SetChannelDelay(int channel, uint32_t counts);
    void SetReferenceHz(double hz);

    // ---- Unasked output; each returns once the bytes are written ----
    void SendDelayReport(int channel, uint32_t counts);
    void SendBytes(const std::vector<uint8_t>& bytes);  // one write
    void SendChunks(const std::vector<std::vector<uint8_t>>& chunks, int gapMs);

    // A stream of unasked delay reports from a thread of its own: one report
    // per write, one every `intervalUs` (0: back to back), with the counts
    // firstCounts, firstCounts + 1, ... so that the receiver can check order
    // and completeness. `channel` -1 goes round A..H. A stream already
    // running is stopped first.
    void StartReportStream(int channel, uint32_t firstCounts, int intervalUs);
    // Stops the stream (a report already going out is finished unless the
    // line is blocked) and returns how many reports it wrote; 0 when none ran.
    size_t StopReportStream();

    // Closes the master side of the pseudo-terminal and the slave the
    // simulator holds, so that the host's port sees a hang-up as when a USB
    // adapter is pulled. Serving ends and all output is dropped from then
    // on; observation keeps working. Returns once the line is closed.
    void HangUp();
    bool IsHungUp() const { return lineGone_; }

    // ---- Fault injection ----
    // Queued faults apply to the next requests, one each, in order; while
    // the queue is empty a fault set by rate applies with its probability,
    // drawn from a generator seeded by `seed`. FaultKind::None or
    // probability 0 switches the rate off.
    void QueueFault(const Fault& fault);
    void QueueFaults(const Fault& fault, int count);
    void ClearFaults();
    void SetFaultRate(const Fault& fault, double probability, uint32_t seed);
    // As above with the kind's default parameters (Delay: 50 ms; Split:
    // one byte per write, 1 ms apart).
    void SetFaultRate(FaultKind kind, double probability, uint32_t seed);

    // ---- Line behaviour ----
    // Pacing on: output leaves at the line speed the host set on the slave,
    // ten bit times per byte; answers and unasked output alike.
    void SetPacing(bool on) { pacing_ = on; }
    // Read pacing on: the host's bytes are taken no faster than that line
    // speed either, so a request behind a long burst is received after it.
    void SetReadPacing(bool on) { readPacing_ = on; }
    // The line speed the host set, in bit/s (0 when unknown).
    double LineSpeed() const;
    // Verbose on: every request and answer is printed in hex to stderr.
    void SetVerbose(bool on) { verbose_ = on; }

private:
    using Clock = std::chrono::steady_clock;

    // An answer a Late fault holds back; serving thread only.
    struct HeldAnswer {
        std::vector<uint8_t> bytes;
        int delayMs = 0;
        size_t frameNumber = 0;  // counted from the start, across ClearLog
    };

    void Serve();
    // How many bytes the next read may take under read pacing (at least
    // one), after waiting until the line has delivered them; 0 when stopping.
    size_t PacedReadBudget(double bitsPerSecond);
    void HandleFrame(const std::vector<uint8_t>& raw);
    Fault NextFault();  // mutex_ held
    // Writes the chunks to the master, `gapMs` apart; false when stopping,
    // when the line is gone, or when `cancel` is set while the line is full.
    bool WriteOut(const std::vector<std::vector<uint8_t>>& chunks, int gapMs,
                  const std::atomic<bool>* cancel = nullptr);
    bool WriteAll(const uint8_t* p, size_t n, const std::atomic<bool>* cancel);
    bool WritePaced(const uint8_t* p, size_t n, double bitsPerSecond,
                    const std::atomic<bool>* cancel);
    // Sleeps, but wakes at once when the simulator is being destroyed, the
    // line hangs up, or `alsoStop` (read under stopMutex_) becomes true.
    bool Pause(int64_t nanoseconds, const std::atomic<bool>* alsoStop = nullptr);
    bool PauseUntil(Clock::time_point t, const std::atomic<bool>* alsoStop = nullptr);
    void StreamReports(int channel, uint32_t firstCounts, int intervalUs);
    // fromServer: called by the serving thread itself, which cannot wait
    // for itself to finish.
    void HangUpLine(bool fromServer);

    int masterFd_ = -1;
    int slaveFd_ = -1;  // held open so that the host's open and close never hang up the master
    // eventfd, readable once every poll on the master should give up: the
    // simulator stops or the line hangs up.
    int wakeFd_ = -1;
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> pacing_{false};
    std::atomic<bool> readPacing_{false};
    std::atomic<bool> verbose_{false};
    std::atomic<bool> lineGone_{false};  // set under stopMutex_

    FrameParser parser_;              // serving thread only
    std::optional<HeldAnswer> held_;  // serving thread only
    Clock::time_point lineFreeAt_{};  // serving thread only: read pacing
    bool lineBusy_ = false;           // serving thread only: bytes were left waiting

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    Instrument instrument_;
    std::vector<uint8_t> raw_;
    std::vector<Frame> frames_;
    size_t framesCleared_ = 0;  // frames dropped by ClearLog, for HeldAnswer::frameNumber
    bool serving_ = true;       // the serving thread has not ended
    std::vector<uint8_t> sent_;
    std::deque<Fault> faults_;
    Fault rateFault_;
    double rateProbability_ = 0.0;
    std::mt19937 rng_;

    // Keeps each output whole on the line. Taken before mutex_, never while
    // holding it.
    std::mutex writeMutex_;
    bool lineClosed_ = false;  // guarded by writeMutex_
    // Wakes pauses (answer delays, gaps, pacing) when the simulator stops.
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    bool stopping_ = false;

    std::mutex streamControl_;  // serialises starting and stopping the stream
    std::thread streamThread_;
    std::atomic<bool> streamStop_{false};  // set under stopMutex_
    std::atomic<size_t> streamed_{0};

    std::thread thread_;
};

}  // namespace vsim
