// The delay-report gatherer on arbitrary chunk sequences. The first input
// byte chooses the chunk sizes; the rest is the bytes handed over.
//
// Beyond memory and undefined behaviour, it checks: the reports found do not
// depend on how the bytes were cut; each is a valid report that stands in
// the input as eight bytes in a row, and they come in input order.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/DelayReports.h"
#include "fuzz/FuzzCheck.h"
#include "serial/Wire.h"

namespace {

struct Found {
    std::vector<uint8_t> channels;
    std::vector<uint32_t> counts;
};

void Sink(void* context, unsigned char channel, unsigned int counts) {
    Found* found = static_cast<Found*>(context);
    FUZZ_CHECK(channel < veltor::kChannelCount);
    found->channels.push_back(channel);
    found->counts.push_back(counts);
}

Found Gather(const uint8_t* data, size_t size, uint8_t cut) {
    unsigned char report[veltor::kReportHold] = {};
    unsigned int fill = 0;
    Found found;
    size_t step = 1;
    for (size_t i = 0; i < size; i += step) {
        step = cut == 0 ? size : 1 + (cut + i) % (cut % 13 + 1);
        const size_t n = step < size - i ? step : size - i;
        veltor::GatherDelayReports(report, fill, data + i, n, Sink, &found);
        FUZZ_CHECK(fill < veltor::kReportHold);
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t cut = data[0];
    const Found whole = Gather(data + 1, size - 1, 0);
    const Found pieces = Gather(data + 1, size - 1, cut);
    FUZZ_CHECK(whole.channels == pieces.channels && whole.counts == pieces.counts);
    // Each report stands in the input, after the one before it.
    size_t from = 1;
    for (size_t k = 0; k < whole.counts.size(); ++k) {
        bool seen = false;
        for (; !seen && from + veltor::kReportSize <= size; ++from) {
            const uint8_t* r = data + from;
            seen = veltor::IsValidReport(r) && r[2] == whole.channels[k] &&
                   veltor::DelayCounts(r) == whole.counts[k];
        }
        FUZZ_CHECK(seen);
        from += veltor::kReportSize - 1;
    }
    return 0;
}
