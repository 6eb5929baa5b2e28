/// @file
/// Finding the instrument's port: the machine's serial ports, and on request
/// which of them answer as the instrument does.
#pragma once

#include <veltor/export.h>

#include <string>
#include <vector>

namespace veltor {

/// What probing found on a port.
enum class PortProbe {
    NotProbed,   ///< no probe was asked for
    Instrument,  ///< a valid answer to a query of channel A: the instrument
    NoAnswer,    ///< opened, but nothing answered as the instrument does
    Busy,        ///< held by another program (or another device): not opened
    Failed,      ///< could not be opened or configured; see probeNote
};

/// One serial port of the machine.
struct PortInfo {
    /// The device path to connect to: "/dev/ttyUSB0", "COM3".
    std::string path;
    /// A name that stays with the adapter when it is plugged in elsewhere
    /// ("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
    /// empty where the system gives none.
    std::string stableName;
    /// What the port is, in words: the USB product, "built-in serial port".
    std::string description;
    /// The bus behind the port: "usb", "pci", "platform", "pnp"; the
    /// driver's device name on Windows ("\\Device\\VCP0"); empty for a
    /// path the caller gave.
    std::string bus;
    /// USB adapters only: the vendor id, -1 where unknown.
    int vendorId = -1;
    /// USB adapters only: the product id, -1 where unknown.
    int productId = -1;
    /// USB adapters only: the manufacturer's name, empty where the adapter
    /// does not say.
    std::string manufacturer;
    /// USB adapters only: the product's name, empty where not said.
    std::string product;
    /// USB adapters only: the serial number, empty where not said.
    std::string serialNumber;

    /// What the probe found (NotProbed unless asked for).
    PortProbe probe = PortProbe::NotProbed;
    /// The baud index (CSerDev::kBaud115200, ...) the instrument answered at;
    /// -1 when it did not.
    int probeBaudIndex = -1;
    /// Why a probe failed, in words; empty otherwise.
    std::string probeNote;
};

/// What ListPorts does beside listing.
struct PortListOptions {
    /// Opens each port no other program holds and sends one query of
    /// channel A at each speed of baudIndexes, until one answers. Each
    /// opening sends the library's 1024-byte filler burst first (see
    /// CVeltor::InitConnection), so probe only lines where that is harmless.
    /// A port takes at most kProbeAnswerMs plus the burst's time on the line
    /// (0.09 s at 115200 bit/s, 4.3 s at 2400) per speed, from opening to
    /// closing, however the line behaves: a line that does not take the burst
    /// in about its time is given up, and what it did not send is dropped at
    /// the close; the answer is waited for what is left. It is closed again
    /// after each speed.
    bool probe = false;
    /// Baud indices to probe at, in order (default: 115200 bit/s only).
    std::vector<int> baudIndexes{6};
    /// Paths to list (and probe) besides the machine's ports: a port the
    /// listing does not find, a pseudo-terminal.
    std::vector<std::string> extraPaths;
    /// False lists only extraPaths.
    bool systemPorts = true;
};

/// How long the probe waits for the answer to its one query, in ms.
const int kProbeAnswerMs = 300;

/// The serial ports of the machine, sorted by path, then the extra paths.
/// On Linux from sysfs and /dev/serial/by-id (USB, PCI and PNP ports, and
/// built-in UARTs the kernel found; not virtual consoles nor the 8250
/// driver's placeholder ports); on Windows from the registry's list of COM
/// ports (HARDWARE\\DEVICEMAP\\SERIALCOMM, without USB details). Blocks
/// while probing; any thread.
VELTOR_API std::vector<PortInfo> ListPorts(const PortListOptions& options = PortListOptions());

/// Reads the serial ports from a sysfs tree and a by-id directory ("/sys",
/// "/dev/serial/by-id"; a test passes a tree of its own). Paths are
/// "/dev/<name>". An absent directory gives no ports.
VELTOR_API std::vector<PortInfo> ReadSysfsPorts(const std::string& sysRoot,
                                                const std::string& byIdDir);

/// The probe's result in words: "instrument", "no answer", ...
VELTOR_API const char* DescribePortProbe(PortProbe probe);

}  // namespace veltor
