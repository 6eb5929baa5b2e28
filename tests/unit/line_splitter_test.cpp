// Sorting the instrument's bytes into the awaited answer, delay reports and
// everything else: whatever the chunking, no report is lost and no answer is
// misread.
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "serial/LineSplitter.h"
#include "serial/Wire.h"

namespace {

typedef std::vector<unsigned char> Bytes;
typedef std::vector<std::pair<int, unsigned int>> Reports;

Bytes Message(unsigned char lead, Bytes body) {
    Bytes m = {lead, static_cast<unsigned char>(body.size() + 1)};
    unsigned char sum = m[1];
    for (unsigned char b : body) {
        m.push_back(b);
        sum = static_cast<unsigned char>(sum + b);
    }
    m.push_back(static_cast<unsigned char>(0 - sum));
    return m;
}

Bytes Report(unsigned char channel, unsigned int counts) {
    return Message(
        0x51, {channel, static_cast<unsigned char>(counts), static_cast<unsigned char>(counts >> 8),
               static_cast<unsigned char>(counts >> 16), static_cast<unsigned char>(counts >> 24)});
}

Bytes QueryAnswer(unsigned char channel, unsigned int counts) {
    Bytes m = Report(channel, counts);
    m[0] = 0xAA;
    return m;
}

const Bytes kAck = {0xAA, 0x01, 0xFF};
const Bytes kRefused = {0xEE, 0x00};

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

struct Sorted {
    Bytes answer;
    Bytes other;
    Reports reports;
    unsigned long answers = 0;
    unsigned long noise = 0;
    bool operator==(const Sorted& o) const {
        return answer == o.answer && other == o.other && reports == o.reports &&
               answers == o.answers && noise == o.noise;
    }
};

// Takes what one call of the splitter produced; nothing may have been
// refused for want of room.
void Take(const veltor::SplitOutput& out, Sorted& sorted) {
    EXPECT_EQ(out.answer.refused + out.other.refused + out.reports.refused, 0u);
    sorted.answer.insert(sorted.answer.end(), out.answer.items,
                         out.answer.items + out.answer.count);
    sorted.other.insert(sorted.other.end(), out.other.items, out.other.items + out.other.count);
    for (std::size_t i = 0; i < out.reports.count; ++i) {
        sorted.reports.push_back({out.reports.items[i].channel, out.reports.items[i].counts});
    }
}

// Feeds the chunks, then, when the line has gone quiet, releases an answer
// held behind a cut-off report or (give_up) gives up the answer awaited.
// With takeWhole, a whole answer at a chunk's start is taken first, as the
// exchange reading its own answer does.
Sorted Split(const std::vector<Bytes>& chunks, bool awaiting = true, bool giveUp = false,
             bool takeWhole = false, bool owed = true) {
    veltor::LineSplitter splitter;
    splitter.ExpectAnswers(owed);
    veltor::SplitOutput out;
    Sorted sorted;
    for (const Bytes& chunk : chunks) {
        const std::size_t taken =
            takeWhole && awaiting ? splitter.TakeWholeAnswer(chunk.data(), chunk.size()) : 0;
        sorted.answer.insert(sorted.answer.end(), chunk.begin(), chunk.begin() + taken);
        out.Clear();
        splitter.Feed(chunk.data() + taken, chunk.size() - taken, awaiting, out);
        Take(out, sorted);
    }
    out.Clear();
    if (giveUp) {
        splitter.EndAnswer(out);
    } else {
        splitter.ReleaseHeldAnswer(awaiting, out);
    }
    Take(out, sorted);
    sorted.answers = splitter.Answers();
    sorted.noise = splitter.Noise();
    return sorted;
}

std::vector<Bytes> Bytewise(const Bytes& all) {
    std::vector<Bytes> chunks;
    for (unsigned char b : all) {
        chunks.push_back({b});
    }
    return chunks;
}

TEST(LineSplitter, AnswersApartFromReportsAndNoise) {
    const Bytes r = Report(2, 4000);
    // A report whose delay bytes read like an answer is still a report.
    const Bytes lookalike = Report(1, 0x00FF01AA);
    Bytes cut(r.begin(), r.begin() + 3);
    struct Case {
        const char* name;
        Bytes line;
        Bytes answer;
        Reports reports;
    };
    const Case cases[] = {
        {"answer alone", kAck, kAck, {}},
        {"report glued before", Join({r, kAck}), kAck, {{2, 4000}}},
        {"report glued after", Join({QueryAnswer(3, 9), r}), QueryAnswer(3, 9), {{2, 4000}}},
        {"report around a refusal",
         Join({r, kRefused, Report(7, 1)}),
         kRefused,
         {{2, 4000}, {7, 1}}},
        {"report that looks like an answer inside", lookalike, {}, {{1, 0x00FF01AA}}},
        {"noise before the answer", Join({{0x00, 0x13, 0x7F}, kAck}), kAck, {}},
        {"stray Q before a report", Join({{0x51}, r, kAck}), kAck, {{2, 4000}}},
        {"stray Q before the answer", Join({{0x51}, kAck}), kAck, {}},
        {"cut-off report before the answer", Join({cut, kAck}), kAck, {}},
        {"cut-off report before a report", Join({cut, r, kAck}), kAck, {{2, 4000}}},
        {"cut-off report that checks out with the next",
         Join({{0x51, 0x06, 0x00}, Report(0, 0xA3), kAck}),
         kAck,
         {{0, 0xA3}}},
        {"late answer and own answer",
         Join({kAck, QueryAnswer(0, 5)}),
         Join({kAck, QueryAnswer(0, 5)}),
         {}},
        // A cut-off answer swallows the report after it; read again once its
        // checksum fails, the report is found.
        {"cut-off answer before a report",
         Join({{0xAA, 0x06, 0x02}, r}),
         Join({{0xAA, 0x06, 0x02}, Bytes(r.begin(), r.begin() + 5)}),
         {{2, 4000}}},
    };
    for (const Case& c : cases) {
        const Sorted whole = Split({c.line});
        EXPECT_EQ(whole.answer, c.answer) << c.name;
        EXPECT_EQ(whole.reports, c.reports) << c.name;
        const Sorted bytewise = Split(Bytewise(c.line));
        EXPECT_EQ(bytewise.answer, c.answer) << c.name << " (bytewise)";
        EXPECT_EQ(bytewise.reports, c.reports) << c.name << " (bytewise)";
        EXPECT_TRUE(Split({c.line}, true, false, true) == whole) << c.name << " (taken whole)";
    }
    // A read that begins like a whole answer inside a report being gathered
    // is the rest of that report.
    const std::vector<Bytes> parts = {Bytes(lookalike.begin(), lookalike.begin() + 3),
                                      Bytes(lookalike.begin() + 3, lookalike.end())};
    const Sorted taken = Split(parts, true, false, true);
    EXPECT_TRUE(taken == Split(parts));
    EXPECT_EQ(taken.reports, (Reports{{1, 0x00FF01AA}}));
}

TEST(LineSplitter, ReportsSwallowedByACutOffAnswerAreFoundAfterIt) {
    const Bytes r = Report(4, 77);
    EXPECT_EQ(Split({Join({{0xAA, 0x06, 0x02}, r, Report(5, 88)})}).reports,
              (Reports{{4, 77}, {5, 88}}));
    // An answer still incomplete when it is given up is read again too.
    EXPECT_EQ(Split({Join({{0xAA, 0x20}, r})}, true, true).reports, (Reports{{4, 77}}));
}

TEST(LineSplitter, NothingIsAnswerWhileNoneIsAwaited) {
    // A late answer whose data bytes hold a whole report.
    const Bytes report = Report(1, 2);
    const Bytes lateAnswer = Message(0xAA, report);
    struct Case {
        const char* name;
        Bytes line;
        Reports reports;
        bool owed;  // an answer is owed to an earlier request
    };
    const Case cases[] = {
        {"report, answer, noise", Join({report, kAck, {0x05}}), {{1, 2}}, true},
        {"a late answer's bytes are no report", lateAnswer, {}, true},
        {"a cut-off late answer is read again", Join({{0xAA, 0x01}, report}), {{1, 2}}, true},
        {"no answer owed: a stray lead hides nothing",
         Join({{0x00, 0xAA}, report, {0xEE}, report}),
         {{1, 2}, {1, 2}},
         false},
    };
    for (const Case& c : cases) {
        for (const std::vector<Bytes>& chunks : {std::vector<Bytes>{c.line}, Bytewise(c.line)}) {
            const Sorted sorted = Split(chunks, false, false, false, c.owed);
            EXPECT_TRUE(sorted.answer.empty()) << c.name;
            EXPECT_EQ(sorted.other, c.line) << c.name;  // everything, in order, once
            EXPECT_EQ(sorted.reports, c.reports) << c.name;
        }
    }
}

// Bytes held back as a possible report are read again with the next read,
// and bytes of a bad answer are read again for reports: one read can give
// more answer bytes than it holds, and none may be lost or written out of
// bounds. Reads of the largest size: after a report candidate, one whose first
// byte breaks the report and whose rest are answers; and one that repeats a
// bad long answer whose last bytes, read again, hold the lead of another.
TEST(LineSplitter, AFullReadFitsItsOutputWhateverWasHeldOrReadAgain) {
    const Bytes candidate = {0x51, 0x06, 0x03, 0xAA, 0xFF, 0x11, 0x22};
    Bytes answers = {0x00};
    while (answers.size() < veltor::kMaxFeed) {
        answers.insert(answers.end(), kAck.begin(), kAck.end());
    }
    answers.resize(veltor::kMaxFeed);
    const Bytes pattern = {0x00, 0x40, 0x04, 0x51, 0x06, 0x03, 0xAA, 0xFF, 0x11,
                           0x22, 0xCD, 0x40, 0x0C, 0x00, 0xB0, 0x01, 0xFF};
    Bytes repeated;
    while (repeated.size() < veltor::kMaxFeed) {
        repeated.push_back(pattern[repeated.size() % pattern.size()]);
    }
    for (const std::vector<Bytes>& reads :
         {std::vector<Bytes>{candidate, answers}, std::vector<Bytes>{repeated, repeated}}) {
        for (const bool awaiting : {true, false}) {
            Split(reads, awaiting);  // Take checks that nothing was refused
        }
    }
}

TEST(LineSplitter, CountsAnswersAndNoise) {
    veltor::LineSplitter splitter;
    veltor::SplitOutput out;
    out.Clear();
    const Bytes line = Join({kAck, {0x00, 0x01}, Report(0, 1), kRefused, {0xAA, 0x03}});
    splitter.Feed(line.data(), line.size(), true, out);
    EXPECT_EQ(splitter.Answers(), 2u);  // the last one is not complete
    EXPECT_EQ(splitter.Noise(), 2u);
}

// Any mix of whole messages in any chunking: every answer reaches the
// exchange in order and every report is gathered, once, in order.
TEST(LineSplitter, RandomStreamsInRandomChunks) {
    std::mt19937 rng(20261207);
    for (int round = 0; round < 300; ++round) {
        Bytes line;
        Bytes answers;
        Reports reports;
        const int messages = 1 + static_cast<int>(rng() % 30);
        for (int m = 0; m < messages; ++m) {
            const unsigned int counts = rng();
            const unsigned char channel = static_cast<unsigned char>(rng() % 8);
            Bytes next;
            switch (rng() % 4) {
                case 0:
                    next = Report(channel, counts);
                    reports.push_back({channel, counts});
                    break;
                case 1:
                    next = QueryAnswer(channel, counts);
                    answers.insert(answers.end(), next.begin(), next.end());
                    break;
                case 2:
                    next = rng() % 2 ? kAck : kRefused;
                    answers.insert(answers.end(), next.begin(), next.end());
                    break;
                default:
                    next = {static_cast<unsigned char>(rng() % 0x50)};  // noise, no lead byte
                    break;
            }
            line.insert(line.end(), next.begin(), next.end());
        }
        std::vector<Bytes> chunks;
        for (size_t i = 0; i < line.size();) {
            const size_t n = std::min(line.size() - i, static_cast<size_t>(1 + rng() % 12));
            chunks.emplace_back(line.begin() + i, line.begin() + i + n);
            i += n;
        }
        const Sorted sorted = Split(chunks);
        ASSERT_EQ(sorted.answer, answers) << "round " << round;
        ASSERT_EQ(sorted.reports, reports) << "round " << round;
        // Taking whole answers first changes nothing, however the line is cut.
        ASSERT_TRUE(Split(chunks, true, false, true) == sorted) << "round " << round;
    }
}

TEST(AnswerBelongs, QueryAnswersOnlyToTheirQuery) {
    const Bytes queryC = {0x25, 0xD8, 0x05, 0x42, 0x0B, 0x00, 0x00, 0xAE};
    const Bytes enable = {0x25, 0xD8, 0x03, 0x80, 0x00, 0x7D};
    struct Case {
        const char* name;
        const Bytes& request;
        Bytes answer;
        bool belongs;
    };
    const Case cases[] = {
        {"query, its channel", queryC, QueryAnswer(2, 4000), true},
        {"query, another channel", queryC, QueryAnswer(0, 4000), false},
        {"query, no delay", queryC, kAck, false},
        {"command, plain", enable, kAck, true},
        {"command, a query's answer", enable, QueryAnswer(2, 1), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(
            veltor::AnswerBelongs(c.request.data(), static_cast<int>(c.request.size()),
                                  c.answer.data(), static_cast<unsigned int>(c.answer.size())),
            c.belongs)
            << c.name;
    }
}

}  // namespace
