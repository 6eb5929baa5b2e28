#include <gtest/gtest.h>
#include <veltor/veltor.h>

#include <cstring>
#include <utility>
#include <vector>

#include "device/BurstGenerator.h"
#include "serial/LineSplitter.h"

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::vector<std::pair<int, unsigned int>> Delivered;

Bytes Report(unsigned char channel, unsigned int counts) {
    Bytes r = {0x51,
               0x06,
               channel,
               static_cast<unsigned char>(counts),
               static_cast<unsigned char>(counts >> 8),
               static_cast<unsigned char>(counts >> 16),
               static_cast<unsigned char>(counts >> 24),
               0};
    unsigned char sum = 0;
    for (int i = 1; i < 7; ++i) {
        sum = static_cast<unsigned char>(sum + r[i]);
    }
    r[7] = static_cast<unsigned char>(0 - sum);
    return r;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// The reports the line splitter finds in chunks that arrive while no answer
// is awaited, as the watcher feeds them.
Delivered Gather(const std::vector<Bytes>& chunks) {
    veltor::LineSplitter splitter;
    veltor::SplitOutput out;
    Delivered delivered;
    for (const Bytes& chunk : chunks) {
        out.Clear();
        splitter.Feed(chunk.data(), chunk.size(), false, out);
        for (std::size_t i = 0; i < out.reports.count; ++i) {
            delivered.push_back({out.reports.items[i].channel, out.reports.items[i].counts});
        }
    }
    return delivered;
}

// The same chunks handed by a host to CVeltor::HandleUnsolicited itself.
class RecordingDevice : public CVeltor {
public:
    void HandleDelayReport(unsigned char channel, unsigned int counts) override {
        CVeltor::HandleDelayReport(channel, counts);
        delivered.push_back({channel, counts});
    }
    Delivered delivered;
};

Delivered GatherByHost(const std::vector<Bytes>& chunks) {
    RecordingDevice device;
    for (Bytes chunk : chunks) {
        device.HandleUnsolicited(chunk.data(), static_cast<unsigned long>(chunk.size()));
    }
    return device.delivered;
}

struct GatherCase {
    const char* name;
    std::vector<Bytes> chunks;
    Delivered expected;
};

TEST(DelayReports, Gathering) {
    Bytes bad = Report(1, 77);
    bad[7] ^= 0xFF;
    Bytes wrongCount = Report(1, 77);
    wrongCount[1] = 5;
    Bytes badIndex = Report(8, 77);
    const Bytes c4000 = Report(2, 4000);
    const GatherCase cases[] = {
        {"worked report", {{0x51, 0x06, 0x02, 0xA0, 0x0F, 0x00, 0x00, 0x49}}, {{2, 4000}}},
        {"split 3 + 5",
         {Bytes(c4000.begin(), c4000.begin() + 3), Bytes(c4000.begin() + 3, c4000.end())},
         {{2, 4000}}},
        {"split into single bytes",
         {{c4000[0]},
          {c4000[1]},
          {c4000[2]},
          {c4000[3]},
          {c4000[4]},
          {c4000[5]},
          {c4000[6]},
          {c4000[7]}},
         {{2, 4000}}},
        {"noise first", {Join({{0x00, 0x13, 0xFF, 0x11}, c4000})}, {{2, 4000}}},
        {"two in one chunk",
         {Join({Report(0, 1), Report(7, 0xFFFFFFFF)})},
         {{0, 1}, {7, 0xFFFFFFFF}}},
        {"bad checksum dropped", {bad}, {}},
        {"count byte not 6", {wrongCount}, {}},
        {"channel index 8", {badIndex}, {}},
        // A valid report that begins inside a bad one's 8 bytes is found.
        {"report inside a bad one", {Join({{0x51, 0x06}, c4000})}, {{2, 4000}}},
        {"bad then good", {Join({bad, Report(5, 9)})}, {{5, 9}}},
        // A stray or cut-off report never hides the report after it.
        {"stray Q", {Join({{0x51}, c4000})}, {{2, 4000}}},
        {"cut-off report", {Join({{0x51, 0x06, 0x02}, c4000})}, {{2, 4000}}},
        // The cut-off report and the first bytes of the next one check out
        // by chance; the report inside them is the real one.
        {"cut-off report that checks out with the next",
         {Join({{0x51, 0x06, 0x00}, Report(0, 0xA3), Report(1, 5)})},
         {{0, 0xA3}, {1, 5}}},
        {"cut-off report, next chunk",
         {{0x51, 0x06, 0x02}, Join({c4000, Report(1, 5)})},
         {{2, 4000}, {1, 5}}},
        {"empty chunk", {{}}, {}},
        {"partial kept across an empty chunk",
         {Bytes(c4000.begin(), c4000.begin() + 4), {}, Bytes(c4000.begin() + 4, c4000.end())},
         {{2, 4000}}},
    };
    for (const GatherCase& c : cases) {
        EXPECT_EQ(Gather(c.chunks), c.expected) << c.name;
        EXPECT_EQ(GatherByHost(c.chunks), c.expected) << c.name << ", handed over by the host";
    }
}

TEST(DelayReports, AHostsOwnBytesReachTheChannel) {
    RecordingDevice device;
    Bytes report = {0x51, 0x06, 0x02, 0xA0, 0x0F, 0x00, 0x00, 0x49};
    device.HandleUnsolicited(report.data(), 3);
    device.HandleUnsolicited(report.data() + 3, 5);
    EXPECT_DOUBLE_EQ(device.GetChannel('C')->GetLastDelay(), 2e-5);
    EXPECT_EQ(device.GetChannel('C')->GetReportCount(), 1u);
}

TEST(DelayReports, InvalidContinuationResumesAtSecondByteOfTheChunk) {
    // A report begun in one chunk turns out bad in the next; the search goes
    // on from that chunk's second byte and finds a report there.
    const Bytes good = Report(3, 12345);
    const Bytes first = {0x51, 0x06, 0x09};  // index 9: will be invalid
    Bytes second = {0x00};
    second.insert(second.end(), good.begin(), good.end());
    EXPECT_EQ(Gather({first, second}), (Delivered{{3, 12345}}));
}

TEST(Burst, FixedSequenceWithoutLeadByte) {
    unsigned char a[veltor::kBurstSize];
    unsigned char b[veltor::kBurstSize];
    veltor::MakeBurst(a);
    veltor::MakeBurst(b);
    EXPECT_EQ(0, std::memcmp(a, b, sizeof(a)));
    for (unsigned char byte : a) {
        ASSERT_NE(byte, 0x25);
    }
    // The classic C runtime generator seeded with 12121: the first draws
    // 6852, 3585, 21916 give the low bytes C4 01 9C.
    EXPECT_EQ(a[0], 0xC4);
    EXPECT_EQ(a[1], 0x01);
    EXPECT_EQ(a[2], 0x9C);
}

}  // namespace
