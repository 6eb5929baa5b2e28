// The sysfs port reader on a small tree shaped like Linux's: two USB
// adapters (one with every attribute, one with few), built-in UARTs found and
// not found, and terminals that are no serial port. POSIX: the tree is made
// with symbolic links, as sysfs is.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <veltor/Ports.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veltor-ports-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        top_ = pattern;
        root_ = top_ / "sys";
        byId_ = top_ / "by-id";
        const fs::path usb = root_ / "devices/pci0000:00/0000:00:14.0/usb1";
        fs::create_directories(root_ / "bus/usb-serial/drivers/ftdi_sio");
        fs::create_directories(root_ / "bus/usb/drivers/cdc_acm");
        fs::create_directories(root_ / "bus/platform/drivers/serial8250");

        // An FTDI adapter: usb-serial port under the interface under the device.
        Attributes(usb / "1-2", {{"idVendor", "0403\n"},
                                 {"idProduct", "6001\n"},
                                 {"manufacturer", "FTDI\n"},
                                 {"product", "FT232R USB UART\n"},
                                 {"serial", "A1B2C3\n"}});
        const fs::path ftdi = usb / "1-2/1-2:1.0/ttyUSB0";
        Device(ftdi, "usb-serial");
        Terminal("ttyUSB0", ftdi, "");
        // A CDC ACM board that names neither maker nor serial number.
        Attributes(usb / "1-3", {{"idVendor", "2341\n"}, {"idProduct", "0043"}});
        Device(usb / "1-3/1-3:1.0", "usb");
        Terminal("ttyACM0", usb / "1-3/1-3:1.0", "");
        // The 8250 driver's ports: one UART found (16550A), one placeholder.
        const fs::path uart = root_ / "devices/platform/serial8250";
        Device(uart, "platform");
        fs::create_directory_symlink(root_ / "bus/platform/drivers/serial8250", uart / "driver");
        Terminal("ttyS0", uart, "4\n");
        Terminal("ttyS1", uart, "0\n");
        // A PNP UART as newer kernels show it: the serial core's port and
        // controller devices between the terminal and the hardware.
        const fs::path pnp = root_ / "devices/pnp0/00:00";
        fs::create_directories(root_ / "bus/serial-base");
        fs::create_directories(root_ / "bus/pnp");
        Device(pnp, "pnp");
        Device(pnp / "00:00:0", "serial-base");
        Device(pnp / "00:00:0/00:00:0.0", "serial-base");
        Terminal("ttyS4", pnp / "00:00:0/00:00:0.0", "4\n");
        // Terminals without a serial device: a virtual console, the console,
        // the multiplexer; and a virtual console that claims a device.
        Terminal("tty0", fs::path(), "");
        Terminal("console", fs::path(), "");
        Terminal("ptmx", fs::path(), "");
        Terminal("tty3", uart, "");

        fs::create_directories(byId_);
        fs::create_symlink("../../ttyUSB0", byId_ / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    }
    void TearDown() override { fs::remove_all(top_); }

    void Attributes(const fs::path& dir,
                    std::initializer_list<std::pair<const char*, const char*>> values) {
        fs::create_directories(dir);
        for (const auto& value : values) {
            std::ofstream(dir / value.first) << value.second;
        }
    }
    void Device(const fs::path& dir, const char* bus) {
        fs::create_directories(dir);
        fs::create_directory_symlink(root_ / "bus" / bus, dir / "subsystem");
    }
    // class/tty/<name>, with its device link and its 8250 type when given.
    void Terminal(const char* name, const fs::path& device, const char* type) {
        const fs::path dir = root_ / "class/tty" / name;
        fs::create_directories(dir);
        if (!device.empty()) {
            fs::create_directory_symlink(device, dir / "device");
        }
        if (*type != 0) {
            std::ofstream(dir / "type") << type;
        }
    }

    fs::path top_, root_, byId_;
};

TEST_F(FakeSysfs, ListsSerialPortsWithTheirDetails) {
    struct Expected {
        const char* path;
        const char* bus;
        int vendor, product;
        const char *manufacturer, *productName, *serial, *description, *stable;
    };
    const std::string stable = (byId_ / "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0").string();
    const Expected expected[] = {
        {"/dev/ttyACM0", "usb", 0x2341, 0x0043, "", "", "", "USB serial adapter", ""},
        {"/dev/ttyS0", "platform", -1, -1, "", "", "", "built-in serial port", ""},
        {"/dev/ttyS4", "pnp", -1, -1, "", "", "", "built-in serial port", ""},
        {"/dev/ttyUSB0", "usb", 0x0403, 0x6001, "FTDI", "FT232R USB UART", "A1B2C3",
         "FT232R USB UART", stable.c_str()},
    };
    const std::vector<veltor::PortInfo> ports =
        veltor::ReadSysfsPorts(root_.string(), byId_.string());
    ASSERT_EQ(ports.size(), std::size(expected));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(expected[i].path);
        EXPECT_EQ(ports[i].path, expected[i].path);
        EXPECT_EQ(ports[i].bus, expected[i].bus);
        EXPECT_EQ(ports[i].vendorId, expected[i].vendor);
        EXPECT_EQ(ports[i].productId, expected[i].product);
        EXPECT_EQ(ports[i].manufacturer, expected[i].manufacturer);
        EXPECT_EQ(ports[i].product, expected[i].productName);
        EXPECT_EQ(ports[i].serialNumber, expected[i].serial);
        EXPECT_EQ(ports[i].description, expected[i].description);
        EXPECT_EQ(ports[i].stableName, expected[i].stable);
        EXPECT_EQ(ports[i].probe, veltor::PortProbe::NotProbed);
    }
}

TEST_F(FakeSysfs, AbsentDirectoriesGiveNoPorts) {
    EXPECT_TRUE(veltor::ReadSysfsPorts((top_ / "none").string(), byId_.string()).empty());
    // Without by-id links the ports are still listed, with no stable name.
    const auto ports = veltor::ReadSysfsPorts(root_.string(), (top_ / "none").string());
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[3].stableName, "");
}

}  // namespace
#endif
