// The simulated instrument served on a pseudo-terminal: the host opens the
// slave side as its serial port, the simulator answers on the master side.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
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
    ReportFirst,  // carried out; a delay report of channel 0 precedes the answer
    Noise,        // carried out; `noise` (or a default) precedes the answer
    Replace,      // carried out; `replacement` goes out instead of the answer
};

const char* FaultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::None;
    int delayMs = 0;             // pause before the answer, honoured for every kind
    int chunk = 1;               // Split: bytes per write
    int gapMs = 0;               // Split: pause between writes
    std::vector<uint8_t> noise;  // Noise: bytes written first; empty = 00 13 7F C3
    uint8_t lead = 0x51;         // WrongLead: the lead byte written instead
    std::vector<uint8_t> replacement;  // Replace: the bytes written instead of the answer
};

// One request frame as the simulator received it.
struct Frame {
    std::vector<uint8_t> raw;      // 0x25 through the checksum
    bool valid = false;            // lead, frame code, length, pad and checksum correct
    std::vector<uint8_t> payload;  // the payload of a valid frame, else empty
    FaultKind fault = FaultKind::None;
    std::vector<uint8_t> answer;   // the instrument's answer before any fault (empty: none)
    std::vector<uint8_t> written;  // what went out on the line for this request
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
    // Pacing on: output goes byte by byte at the line speed the host set on
    // the slave, ten bit times per byte.
    void SetPacing(bool on) { pacing_ = on; }
    // The line speed the host set, in bit/s (0 when unknown).
    double LineSpeed() const;
    // Verbose on: every request and answer is printed in hex to stderr.
    void SetVerbose(bool on) { verbose_ = on; }

private:
    void Serve();
    void HandleFrame(const std::vector<uint8_t>& raw);
    Fault NextFault();  // mutex_ held
    // Writes the chunks to the master, `gapMs` apart; false when stopping.
    bool WriteOut(const std::vector<std::vector<uint8_t>>& chunks, int gapMs);
    bool WriteAll(const uint8_t* p, size_t n);
    bool WritePaced(const uint8_t* p, size_t n, double bitsPerSecond);
    // Sleeps, but wakes at once when the simulator is being destroyed.
    bool Pause(int64_t nanoseconds);

    int masterFd_ = -1;
    int slaveFd_ = -1;  // held open so that the host's open and close never hang up the master
    int wakeFd_ = -1;   // eventfd that stops the serving thread
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> pacing_{false};
    std::atomic<bool> verbose_{false};

    FrameParser parser_;  // serving thread only

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    Instrument instrument_;
    std::vector<uint8_t> raw_;
    std::vector<Frame> frames_;
    std::vector<uint8_t> sent_;
    std::deque<Fault> faults_;
    Fault rateFault_;
    double rateProbability_ = 0.0;
    std::mt19937 rng_;

    // Keeps each output whole on the line. Taken before mutex_, never while
    // holding it.
    std::mutex writeMutex_;
    // Wakes pauses (answer delays, gaps, pacing) when the simulator stops.
    std::mutex stopMutex_;
    std::condition_variable stopCv_;
    bool stopping_ = false;

    std::thread thread_;
};

}  // namespace vsim
