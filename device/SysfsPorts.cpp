// The serial ports as Linux's sysfs describes them. Pure file reading with
// the tree's root as a parameter, so that tests run it on a tree of their own.
#include <veltor/Ports.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace veltor {
namespace {

// The first line of a sysfs attribute, without its newline; empty when the
// attribute is absent.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    return line;
}

int ReadHexId(const fs::path& file) {
    const std::string text = ReadAttribute(file);
    if (text.empty() || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return -1;
    }
    return static_cast<int>(std::stol(text, nullptr, 16));
}

// Virtual consoles and the console and multiplexer devices are terminals,
// but never a line to an instrument.
bool IsVirtualTerminal(const std::string& name) {
    if (name == "console" || name == "ptmx" || name == "tty") {
        return true;
    }
    return name.size() > 3 && name.compare(0, 3, "tty") == 0 &&
           name.find_first_not_of("0123456789", 3) == std::string::npos;
}

// The USB device a port hangs off: the nearest ancestor with a vendor id
// (the interface's parent for cdc_acm, one more level for usb-serial).
fs::path FindUsbDevice(fs::path device, const fs::path& root) {
    for (int level = 0; level < 4 && device.has_relative_path(); ++level) {
        if (fs::exists(device / "idVendor")) {
            return device;
        }
        if (device == root) {
            break;
        }
        device = device.parent_path();
    }
    return fs::path();
}

std::string BusOf(const fs::path& device) {
    std::error_code error;
    return fs::canonical(device / "subsystem", error).filename().string();
}

// by-id link target names ("ttyUSB0") to the links' full paths.
std::map<std::string, std::string> ReadByIdLinks(const std::string& byIdDir) {
    std::map<std::string, std::string> links;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(byIdDir, error)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(entry.path(), linkError);
        if (!linkError) {
            links[target.filename().string()] = entry.path().string();
        }
    }
    return links;
}

// Sorts ttyS2 before ttyS10: the name's text, then its trailing number.
bool PathBefore(const PortInfo& a, const PortInfo& b) {
    auto split = [](const std::string& s) {
        std::size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) {
            --digits;
        }
        const long number = digits < s.size() ? std::stol(s.substr(digits)) : -1;
        return std::make_pair(s.substr(0, digits), number);
    };
    return split(a.path) < split(b.path);
}

}  // namespace

std::vector<PortInfo> ReadSysfsPorts(const std::string& sysRoot, const std::string& byIdDir) {
    std::vector<PortInfo> ports;
    const std::map<std::string, std::string> byId = ReadByIdLinks(byIdDir);
    const fs::path root = fs::path(sysRoot);
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(root / "class" / "tty", error)) {
        const std::string name = entry.path().filename().string();
        std::error_code pathError;
        const fs::path device = fs::canonical(entry.path() / "device", pathError);
        // A terminal with no device behind it (pseudo-terminals, virtual
        // consoles) is no serial port.
        if (pathError || IsVirtualTerminal(name)) {
            continue;
        }
        PortInfo port;
        port.path = "/dev/" + name;
        fs::path controller = device;
        port.bus = BusOf(controller);
        // Newer kernels put the serial core's own port and controller
        // devices between the terminal and the hardware.
        for (int level = 0; level < 2 && port.bus == "serial-base"; ++level) {
            controller = controller.parent_path();
            port.bus = BusOf(controller);
        }
        const std::string driver =
            fs::canonical(controller / "driver", pathError).filename().string();
        if (port.bus == "platform" || port.bus == "pnp") {
            // The 8250 driver registers its placeholder ports whether or not
            // a UART answers there; the kernel types only the ones it found.
            const std::string type = ReadAttribute(entry.path() / "type");
            if (type.empty() || type == "0") {
                continue;
            }
            port.description = "built-in serial port";
        } else if (port.bus == "pci") {
            port.description = "PCI serial port";
        }
        const fs::path usb = FindUsbDevice(device, root);
        if (!usb.empty()) {
            port.bus = "usb";
            port.vendorId = ReadHexId(usb / "idVendor");
            port.productId = ReadHexId(usb / "idProduct");
            port.manufacturer = ReadAttribute(usb / "manufacturer");
            port.product = ReadAttribute(usb / "product");
            port.serialNumber = ReadAttribute(usb / "serial");
            port.description = port.product.empty() ? "USB serial adapter" : port.product;
        }
        if (port.description.empty()) {
            port.description = driver.empty() ? "serial port" : driver;
        }
        const auto link = byId.find(name);
        if (link != byId.end()) {
            port.stableName = link->second;
        }
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), PathBefore);
    return ports;
}

}  // namespace veltor
