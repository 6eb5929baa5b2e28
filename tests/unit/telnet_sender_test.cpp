// The Telnet send hand-over between a writer and the reading side, over a
// socket that fills up or fails on demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

#include "serial/TelnetSender.h"

namespace {

using veltor::TelnetSender;
typedef std::vector<unsigned char> Bytes;

const unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251;
const std::size_t kOpen = static_cast<std::size_t>(-1);

// Takes `room` bytes, then is full until a wait finds room (when
// `roomAfterWait`; else the deadline passes). `whileWriting` runs once, at
// the first wait or waiting send, which only the holder of the send lock
// makes.
class FakeSocket : public veltor::TelnetSocket {
public:
    Sent SendNow(const unsigned char* bytes, std::size_t count, std::size_t& sent) override {
        if (failing || room == 0) {
            return failing ? Sent::Failed : Sent::Full;
        }
        sent = std::min(count, room);
        room -= sent;
        wire.insert(wire.end(), bytes, bytes + sent);
        return Sent::Some;
    }
    bool AwaitRoom(long long) override {
        ++waits;
        RunWhileWriting();
        room = roomAfterWait ? kOpen : room;
        return !failing && room > 0;
    }
    std::size_t SendUntil(const unsigned char* bytes, std::size_t count, long long) override {
        RunWhileWriting();
        std::size_t done = 0;
        for (std::size_t sent = 0; done < count; done += sent, sent = 0) {
            if (SendNow(bytes + done, count - done, sent) != Sent::Some && !AwaitRoom(0)) {
                break;
            }
        }
        return done;
    }

    Bytes wire;
    std::size_t room = kOpen;
    bool roomAfterWait = false;
    bool failing = false;
    int waits = 0;
    std::function<void()> whileWriting;

private:
    void RunWhileWriting() {
        std::function<void()> run;
        run.swap(whileWriting);
        if (run) {
            run();
        }
    }
};

// A session past its opening, its queue empty.
void Start(TelnetSender& sender) {
    sender.Session().Start();
    sender.Session().Outgoing().clear();
}

std::size_t Receive(TelnetSender& sender, FakeSocket& socket, Bytes bytes) {
    return sender.Receive(socket, bytes.data(), bytes.size());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

const Bytes kOffer99 = {IAC, WILL, 99}, kRefusal99 = {IAC, DONT, 99};
// Two offers made while a write is under way, and their refusals.
const Bytes kOffers = {IAC, WILL, 97, 'x', IAC, DO, 98}, kRefusals = {IAC, DONT, 97, IAC, WONT, 98};
const Bytes kData = {1, 0xFF, 2}, kEscaped = {1, 0xFF, 0xFF, 2};

TEST(TelnetSender, TheReadingSideSendsAnswersAtOnceAndNeverWaits) {
    TelnetSender sender;
    Start(sender);
    FakeSocket socket;
    EXPECT_EQ(Receive(sender, socket, Cat({{'a'}, kOffer99, {'b'}})), 2u);
    EXPECT_EQ(socket.wire, kRefusal99);

    socket.room = 0;
    Receive(sender, socket, kOffers);
    EXPECT_EQ(socket.waits, 0);
    EXPECT_EQ(sender.Session().Outgoing(), kRefusals);
}

struct WriteCase {
    const char* what;
    Bytes during;  // what the server sends while the writer holds the send lock
    std::size_t room;
    bool roomAfterWait;
    bool failing;
    bool written;
    Bytes sent;  // by the write
    Bytes left;  // queued after it
};

TEST(TelnetSender, AWriteSendsTheQueueFirstAndHandsOverWhatCameMeanwhile) {
    const Bytes kNone, kFirst = Cat({kRefusal99, kEscaped}), kAll = Cat({kFirst, kRefusals});
    const WriteCase kCases[] = {
        // what, during, room, roomAfterWait, failing, written, sent, left
        {"the queue goes before the data", kNone, kOpen, false, false, true, kFirst, kNone},
        {"answers made during the data follow it", kOffers, kOpen, false, false, true, kAll, kNone},
        {"answers made while waiting for room follow the data", kOffers, 1, true, false, true, kAll,
         kNone},
        {"a full socket keeps the queue", kNone, 0, false, false, false, kNone, kRefusal99},
        {"a failing socket keeps the queue", kNone, kOpen, false, true, false, kNone, kRefusal99},
        {"a write cut inside a doubled 0xFF queues its second half first", kOffers, 5, false, false,
         false, Cat({kRefusal99, {1, 0xFF}}), Cat({{0xFF}, kRefusals})},
    };
    for (const WriteCase& c : kCases) {
        TelnetSender sender;
        Start(sender);
        FakeSocket socket;
        socket.room = 0;
        Receive(sender, socket, kOffer99);
        socket.room = c.room;
        socket.roomAfterWait = c.roomAfterWait;
        socket.failing = c.failing;
        if (!c.during.empty()) {
            socket.whileWriting = [&] {
                // The reading side, on its own thread, finds the send lock
                // taken and leaves its answers to the writer.
                std::thread([&] { Receive(sender, socket, c.during); }).join();
            };
        }
        EXPECT_EQ(sender.Write(socket, kData.data(), kData.size(), 0), c.written) << c.what;
        EXPECT_EQ(socket.wire, c.sent) << c.what;
        EXPECT_EQ(sender.Session().Outgoing(), c.left) << c.what;

        // Once the socket has room, the next write sends what was left first.
        socket.room = kOpen;
        socket.failing = false;
        const unsigned char next = 3;
        EXPECT_TRUE(sender.Write(socket, &next, 1, 0)) << c.what;
        EXPECT_EQ(socket.wire, Cat({c.sent, c.left, {next}})) << c.what;
        EXPECT_TRUE(sender.Session().Outgoing().empty()) << c.what;
    }
}

}  // namespace
