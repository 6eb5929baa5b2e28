#include <gtest/gtest.h>
#include <veltor/CCommand.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Request(const CCommand& c) {
    return Bytes(c.m_Request, c.m_Request + c.m_RequestLength);
}

CCommand Make(const Bytes& payload, const char* status = "Working on it...") {
    return CCommand(0xD8, payload.data(), static_cast<int>(payload.size()), status, 0, 500, 5);
}

struct FrameCase {
    const char* name;
    Bytes payload;
    Bytes frame;
};

TEST(CommandFraming, WorkedFrames) {
    const FrameCase cases[] = {
        {"empty", {}, {0x25, 0xD8, 0x02, 0x00, 0xFE}},
        {"enable outputs", {0x80}, {0x25, 0xD8, 0x03, 0x80, 0x00, 0x7D}},
        {"reset all", {0x70}, {0x25, 0xD8, 0x03, 0x70, 0x00, 0x8D}},
        {"implement logic", {0xC0}, {0x25, 0xD8, 0x03, 0xC0, 0x00, 0x3D}},
        {"query A", {0x40, 0x0B, 0x00}, {0x25, 0xD8, 0x05, 0x40, 0x0B, 0x00, 0x00, 0xB0}},
        {"enable A", {0x88, 0x08, 0x00}, {0x25, 0xD8, 0x05, 0x88, 0x08, 0x00, 0x00, 0x6B}},
        {"disable H", {0x8F, 0x0E, 0x00}, {0x25, 0xD8, 0x05, 0x8F, 0x0E, 0x00, 0x00, 0x5E}},
        {"trigger C", {0x8A, 0x0C, 0x00}, {0x25, 0xD8, 0x05, 0x8A, 0x0C, 0x00, 0x00, 0x65}},
        {"reset D", {0x8B, 0x09, 0x00}, {0x25, 0xD8, 0x05, 0x8B, 0x09, 0x00, 0x00, 0x67}},
        {"logic A default",
         {0x08, 0x07, 0x02, 0x01, 0xD0},
         {0x25, 0xD8, 0x07, 0x08, 0x07, 0x02, 0x01, 0xD0, 0x00, 0x17}},
    };
    for (const FrameCase& c : cases) {
        CCommand command = Make(c.payload);
        EXPECT_EQ(Request(command), c.frame) << c.name;
        EXPECT_EQ(command.m_RequestLength, static_cast<int>(c.payload.size()) + 5) << c.name;
    }
}

TEST(CommandFraming, ChecksumCoversLengthAndPayloadOnly) {
    const Bytes payload = {0x10, 0x20, 0x39, 0x00, 0x02, 0xEB, 0xC4, 0x25, 0x67};
    CCommand a(0xD8, payload.data(), 9, nullptr, 0, 500, 5);
    CCommand b(0x11, payload.data(), 9, nullptr, 0, 500, 5);
    EXPECT_EQ(a.m_Request[a.m_RequestLength - 1], b.m_Request[b.m_RequestLength - 1]);
    unsigned char sum = 0;
    for (int i = 2; i < a.m_RequestLength; ++i) {
        sum = static_cast<unsigned char>(sum + a.m_Request[i]);
    }
    EXPECT_EQ(sum, 0);
    Bytes changed = payload;
    changed[4] ^= 0x01;
    CCommand c(0xD8, changed.data(), 9, nullptr, 0, 500, 5);
    EXPECT_NE(a.m_Request[a.m_RequestLength - 1], c.m_Request[c.m_RequestLength - 1]);
}

// The framing that leaves the response buffer as it is frames the same request
// and fields as the public one, for every payload length up to the cut.
class KeptResponse : public CCommand {
public:
    KeptResponse(const unsigned char* payload, int length, const char* status)
        : CCommand(KeepResponse(), 0xD8, payload, length, status, 123, 4) {}
};

TEST(CommandFraming, KeepingTheResponseFramesTheSame) {
    std::vector<unsigned char> payload(300);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    for (const int length : {-1, 0, 1, 3, 250, 251, 252, 300}) {
        for (const char* status : {static_cast<const char*>(nullptr), "Querying..."}) {
            SCOPED_TRACE(length);
            const CCommand expected(0xD8, payload.data(), length, status, 0, 123, 4);
            const KeptResponse kept(payload.data(), length, status);
            ASSERT_EQ(kept.m_RequestLength, expected.m_RequestLength);
            EXPECT_EQ(0, std::memcmp(kept.m_Request, expected.m_Request,
                                     static_cast<std::size_t>(expected.m_RequestLength)));
            EXPECT_STREQ(kept.m_Status, expected.m_Status);
            EXPECT_EQ(kept.m_ResponseCount, 0u);
            EXPECT_EQ(kept.m_Tries, 4);
            EXPECT_EQ(kept.m_Timeout, 123);
            EXPECT_EQ(kept.m_UserData, 0u);
            EXPECT_EQ(kept.m_Tag, 0u);
        }
    }
}

TEST(CommandFraming, ConstructorFields) {
    CCommand withText = Make({0x80}, "Enabling outputs...");
    EXPECT_STREQ(withText.m_Status, "Enabling outputs...");
    EXPECT_EQ(withText.m_Timeout, 500);
    EXPECT_EQ(withText.m_Tries, 5);
    EXPECT_EQ(withText.m_Tag, 0u);
    EXPECT_EQ(withText.m_ResponseCount, 0u);
    CCommand noText(0xD8, nullptr, 0, nullptr, 7, 1000, 3);
    EXPECT_STREQ(noText.m_Status, "Working...");
    EXPECT_EQ(noText.m_UserData, 7u);
    EXPECT_EQ(noText.m_Tries, 3);
    CCommand empty;
    EXPECT_STREQ(empty.m_Status, "");
    EXPECT_EQ(empty.m_Tries, 5);
    EXPECT_EQ(empty.m_RequestLength, 0);
    EXPECT_EQ(empty.GetHeaderSize(), 2);
    const std::string longText(600, 'x');
    CCommand longStatus(0xD8, nullptr, 0, longText.c_str(), 0, 500, 5);
    EXPECT_EQ(std::strlen(longStatus.m_Status), 255u);
}

struct ResponseCase {
    const char* name;
    std::vector<Bytes> chunks;
    bool complete;
    unsigned int count;
};

TEST(CommandResponse, CompletenessAndChecksum) {
    const ResponseCase cases[] = {
        {"no data", {{0xAA, 0x01, 0xFF}}, true, 3},
        {"two data bytes", {{0xAA, 0x03, 0x05, 0x01, 0xF7}}, true, 5},
        {"bad checksum", {{0xAA, 0x01, 0x00}}, true, CCommand::kChecksumFailed},
        {"incomplete", {{0xAA, 0x03, 0x05}}, false, 3},
        {"zero length", {{0xAA, 0x00}}, true, 2},
        {"negative zero length", {{0xEE, 0x00}}, true, 2},
        {"single bytes", {{0xAA}, {0x03}, {0x05}, {0x01}, {0xF7}}, true, 5},
        {"split", {{0xAA}, {0x03, 0x05}, {0x01, 0xF7}}, true, 5},
        // A later chunk may begin with any byte, a report lead included.
        {"later chunk starting with Q", {{0xAA, 0x02}, {0x51, 0xAD}}, true, 4},
        // Bytes beyond L + 2 take no part in the checksum.
        {"trailing bytes", {{0xAA, 0x01, 0xFF, 0x42, 0x42}}, true, 5},
        // A length of 255 cannot fit the buffer: judged invalid, no wrap.
        {"length 255", {{0xAA, 0xFF}, Bytes(255, 0x00)}, true, CCommand::kChecksumFailed},
    };
    for (const ResponseCase& c : cases) {
        CCommand command = Make({0x80});
        bool complete = false;
        for (const Bytes& chunk : c.chunks) {
            complete = command.AddResponse(chunk.data(), static_cast<unsigned int>(chunk.size()));
        }
        EXPECT_EQ(complete, c.complete) << c.name;
        EXPECT_EQ(command.m_ResponseCount, c.count) << c.name;
    }
}

TEST(CommandResponse, RefusedChunksStoreNothing) {
    CCommand command = Make({0x80});
    const unsigned char report[] = {0x51, 0x06, 0x02, 0xA0, 0x0F, 0x00, 0x00, 0x49};
    EXPECT_FALSE(command.AddResponse(report, sizeof(report)));
    EXPECT_EQ(command.m_ResponseCount, 0u);
    EXPECT_FALSE(command.AddResponse(nullptr, 3));
    EXPECT_FALSE(command.AddResponse(report, 0));
    EXPECT_EQ(command.m_ResponseCount, 0u);
    EXPECT_TRUE(command.HasFailed());
}

TEST(CommandResponse, HasFailedAndReset) {
    CCommand command = Make({0x80}, "Enabling outputs...");
    const unsigned char good[] = {0xAA, 0x01, 0xFF};
    command.AddResponse(good, 3);
    EXPECT_FALSE(command.HasFailed());
    command.m_ResponseCount = CCommand::kChecksumFailed;
    EXPECT_TRUE(command.HasFailed());
    command.m_Tag = 9;
    command.m_Tries = 1;
    command.Reset();
    EXPECT_EQ(command.m_ResponseCount, 0u);
    EXPECT_EQ(command.m_RequestLength, 0);
    EXPECT_EQ(command.m_Tries, 5);
    EXPECT_EQ(command.m_Tag, 9u);
    EXPECT_EQ(command.m_Timeout, 500);
    EXPECT_STREQ(command.m_Status, "");
}

TEST(CommandResponse, CopyKeepsRequestAndResponse) {
    CCommand command = Make({0x40, 0x0B, 0x00}, "Querying the channel...");
    const unsigned char answer[] = {0xAA, 0x06, 0x00, 0xA0, 0x0F, 0x00, 0x00, 0x4B};
    ASSERT_TRUE(command.AddResponse(answer, sizeof(answer)));
    command.m_UserData2 = 4;
    CCommand copy(command);
    EXPECT_EQ(Request(copy), Request(command));
    EXPECT_EQ(copy.m_ResponseCount, 8u);
    EXPECT_EQ(0, std::memcmp(copy.m_Response, answer, sizeof(answer)));
    EXPECT_STREQ(copy.m_Status, "Querying the channel...");
    EXPECT_EQ(copy.m_UserData2, 4u);
}

}  // namespace
