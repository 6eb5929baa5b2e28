// The exported classes keep their state behind one pointer, so that the
// library's insides may change without breaking hosts built against it.
// CChannel.h comes first and alone: what it pulls in is what a host gets.
#include <veltor/CChannel.h>

#if defined(_GLIBCXX_MUTEX) || defined(_GLIBCXX_ATOMIC) || defined(_GLIBCXX_THREAD) || \
    defined(_GLIBCXX_FUNCTIONAL)
#error "CChannel.h pulls in a threading header"
#endif

#include <gtest/gtest.h>
#include <veltor/CSerDev.h>
#include <veltor/CVeltor.h>

#include <string>

namespace {

// A class with a virtual destructor and one pointer: CChannel's whole size.
struct OnePointer {
    virtual ~OnePointer() = default;
    void* pointer;
};
static_assert(sizeof(CChannel) == sizeof(OnePointer), "CChannel holds more than its pointer");
static_assert(sizeof(CSerDev) == sizeof(OnePointer), "CSerDev holds more than its pointer");
// The serial device and one pointer, laid out as the compiler lays out a
// derived class (on some targets the pointer fills the base's tail padding).
struct SerialDeviceAndPointer : CSerDev {
    void* pointer;
};
static_assert(sizeof(CVeltor) == sizeof(SerialDeviceAndPointer),
              "CVeltor adds more than one pointer to CSerDev");

// A channel reaches its device only through the device's internal side:
// failures land on the device, and a channel of no device sends nothing.
TEST(ChannelHost, FailuresOfAChannelLandOnItsDevice) {
    CVeltor device;
    CChannel stray(&device, 'I');
    EXPECT_FALSE(stray.CmdEnable());
    EXPECT_EQ(device.GetLastError(), "no channel 'I': channels are A to H");
    EXPECT_EQ(stray.GetEnabledState(), -1);
    // The next command starts with no failure; not connected, it fails on
    // the line and names the channel.
    EXPECT_FALSE(device.GetChannel('b')->CmdReset());
    EXPECT_EQ(device.GetLastError().rfind("channel B: ", 0), 0u) << device.GetLastError();

    CChannel alone(nullptr, 'a');
    EXPECT_FALSE(alone.CmdEnable());
    EXPECT_FALSE(alone.CmdQuery());
    EXPECT_FALSE(alone.CmdSetTimingMode());
    EXPECT_FALSE(alone.CmdTransferLogic());
    alone.SetLastDelay(100);
    EXPECT_EQ(alone.GetLastDelay(), 0.0);
    EXPECT_TRUE(alone.SetChannelLogic("inA = in1;"));
    EXPECT_EQ(alone.GetChannelLogic(), "inA = in1;");
}

}  // namespace
