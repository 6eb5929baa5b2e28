// The line splitter on arbitrary bytes in arbitrary chunks, and the answers
// it passes on read as the exchange reads them. The first input byte chooses
// the chunk sizes and whether an answer is awaited; the rest is the line.
//
// Beyond memory and undefined behaviour, it checks: what goes to the answer
// side and to the other side does not depend on how the line was cut; the
// answer side holds only whole answers (but the last) with their lead byte
// first; no output is ever refused for want of room; the reports found do not
// depend on the cut either; while nothing is awaited every byte goes to the
// other side once, in order, but for a report or an answer still being
// gathered at the end; and giving up an
// answer or releasing one held behind a cut-off report stays in bounds.
#include <veltor/CCommand.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "serial/LineSplitter.h"
#include "serial/Wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Streams {
    Bytes answer;
    Bytes other;
    std::vector<uint64_t> reports;  // channel << 32 | counts
};

void Append(Streams& s, const veltor::SplitOutput& out) {
    FUZZ_CHECK(out.answer.refused == 0 && out.other.refused == 0 && out.reports.refused == 0);
    s.answer.insert(s.answer.end(), out.answer.items, out.answer.items + out.answer.count);
    s.other.insert(s.other.end(), out.other.items, out.other.items + out.other.count);
    for (size_t i = 0; i < out.reports.count; ++i) {
        s.reports.push_back(static_cast<uint64_t>(out.reports.items[i].channel) << 32 |
                            out.reports.items[i].counts);
    }
}

Streams Split(const uint8_t* data, size_t size, uint8_t cut, bool awaiting) {
    veltor::LineSplitter splitter;
    static veltor::SplitOutput out;
    Streams s;
    size_t step = 1;
    for (size_t i = 0; i < size; i += step) {
        step = cut == 0 ? size : 1 + (cut + i) % (cut % 17 + 1);
        const size_t n = step < size - i ? step : size - i;
        out.Clear();
        splitter.Feed(data + i, n, awaiting, out);
        Append(s, out);
    }
    return s;
}

// Reads the answer side as the exchange does: header, then body.
void ReadAnswers(const Bytes& answers) {
    size_t i = 0;
    while (i + 2 <= answers.size()) {
        FUZZ_CHECK(veltor::IsAnswerLead(answers[i]));
        CCommand command;
        const bool complete = command.AddResponse(&answers[i], 2);
        const size_t length = answers[i + 1];
        i += 2;
        if (complete) {
            continue;
        }
        if (i + length > answers.size()) {
            return;  // the last answer may be incomplete
        }
        FUZZ_CHECK(command.AddResponse(&answers[i], static_cast<unsigned int>(length)));
        i += length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t control = data[0];
    ++data;
    --size;
    if (size > veltor::kMaxFeed) {
        size = veltor::kMaxFeed;
    }
    const bool awaiting = (control & 0x80) != 0;
    const Streams whole = Split(data, size, 0, awaiting);
    const Streams cut = Split(data, size, control & 0x7F, awaiting);
    FUZZ_CHECK(whole.answer == cut.answer);
    FUZZ_CHECK(whole.other == cut.other);
    FUZZ_CHECK(whole.reports == cut.reports);
    ReadAnswers(whole.answer);
    if (!awaiting) {
        // What is not out yet is a report or an answer still being gathered.
        FUZZ_CHECK(whole.answer.empty());
        FUZZ_CHECK(whole.other.size() <= size &&
                   size - whole.other.size() < veltor::kMaxAnswer + veltor::kReportHold);
        FUZZ_CHECK(Bytes(data, data + whole.other.size()) == whole.other);
    }

    // Giving up the answer and releasing a held one, in either order.
    veltor::LineSplitter splitter;
    static veltor::SplitOutput out;
    out.Clear();
    splitter.Feed(data, size, awaiting, out);
    out.Clear();
    if (control & 1) {
        splitter.EndAnswer(out);
        splitter.ReleaseHeldAnswer(awaiting, out);
    } else {
        splitter.ReleaseHeldAnswer(awaiting, out);
        splitter.EndAnswer(out);
    }
    FUZZ_CHECK(out.answer.count <= veltor::kReportSize && out.other.count <= 600);
    return 0;
}
