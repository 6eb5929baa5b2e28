// veltor ports: the machine's serial ports, and with --probe which of them
// answers as the instrument does.
#include <veltor/veltor.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/Commands.h"
#include "tools/Tool.h"

namespace veltor::tools {
namespace {

struct PortsOptions {
    bool probe = false;
    std::vector<long> bauds{115200};
    std::vector<std::string> paths;
    bool onlyPaths = false;
};

std::string UsbId(const PortInfo& port) {
    if (port.vendorId < 0 || port.productId < 0) {
        return "";
    }
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", port.vendorId & 0xFFFF, port.productId & 0xFFFF);
    return id;
}

std::string Described(const PortInfo& port) {
    if (port.manufacturer.empty() ||
        port.description.find(port.manufacturer) != std::string::npos) {
        return port.description;
    }
    return port.manufacturer + " " + port.description;
}

std::string ProbeText(const PortInfo& port) {
    if (port.probe == PortProbe::Instrument) {
        return "instrument at " + std::to_string(CSerDev::BaudRate(port.probeBaudIndex));
    }
    return DescribePortProbe(port.probe);
}

int Ports(const PortsOptions& options) {
    PortListOptions list;
    list.probe = options.probe;
    list.baudIndexes.clear();
    for (long baud : options.bauds) {
        list.baudIndexes.push_back(BaudIndex(baud));
    }
    list.extraPaths = options.paths;
    list.systemPorts = !options.onlyPaths;
    const std::vector<PortInfo> ports = ListPorts(list);
    if (ports.empty()) {
        std::printf("no serial ports found\n");
        return options.probe ? kExitCommandFailed : kExitOk;
    }
    // One row per port; columns as wide as their widest entry.
    std::vector<std::vector<std::string>> rows{{"PORT", "USB ID", "SERIAL", "DESCRIPTION"}};
    if (options.probe) {
        rows[0].push_back("PROBE");
    }
    for (const PortInfo& port : ports) {
        rows.push_back({port.path, UsbId(port), port.serialNumber, Described(port)});
        if (options.probe) {
            rows.back().push_back(ProbeText(port));
        }
    }
    std::vector<std::size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], row[i].size());
        }
    }
    bool found = false;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t i = 0; i < rows[r].size(); ++i) {
            line += rows[r][i];
            if (i + 1 < rows[r].size()) {
                line += std::string(widths[i] - rows[r][i].size() + 2, ' ');
            }
        }
        std::printf("%s\n", line.c_str());
        if (r == 0) {
            continue;
        }
        const PortInfo& port = ports[r - 1];
        if (!port.stableName.empty()) {
            std::printf("  %s\n", port.stableName.c_str());
        }
        if (!port.probeNote.empty() && port.probe != PortProbe::NoAnswer) {
            std::printf("  %s\n", port.probeNote.c_str());
        }
        found = found || port.probe == PortProbe::Instrument;
    }
    return !options.probe || found ? kExitOk : kExitCommandFailed;
}

}  // namespace

void AddPortsCommand(CLI::App& app, Action& action) {
    auto options = std::make_shared<PortsOptions>();
    CLI::App* ports = app.add_subcommand(
        "ports", "list the serial ports (path, USB ids, serial number, description, by-id name)");
    ports->add_flag("--probe", options->probe,
                    "open each port no other program holds, send the library's 1024-byte filler "
                    "burst and one query of channel A, and mark the ports the instrument answers "
                    "on; at most 0.3 s plus the burst's time on the line (0.09 s at 115200) per "
                    "port and speed, however the line behaves; exit status 1 when none answers");
    ports
        ->add_option("--baud", options->bauds, "line speeds to probe at, in order (default 115200)")
        ->delimiter(',');
    ports->add_option("--path", options->paths,
                      "a port to list (and probe) besides the machine's; repeatable");
    ports->add_flag("--only-paths", options->onlyPaths,
                    "list (and probe) only the --path ports, not the machine's");
    ports->callback([&action, options] { action = [options] { return Ports(*options); }; });
}

}  // namespace veltor::tools
