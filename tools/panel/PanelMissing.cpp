// veltor panel without the browser panel: the tool was built without
// httplib (Debian's libcpp-httplib-dev).
#include <CLI/CLI.hpp>

#include "tools/Commands.h"
#include "tools/Tool.h"

namespace veltor::tools {

Action AddPanelServer(CLI::App&, const PortOptions&) {
    return []() -> int {
        throw ToolError(kExitUsage,
                        "this veltor was built without the browser panel: install "
                        "libcpp-httplib-dev and build it again (panel lock|unlock works)");
    };
}

}  // namespace veltor::tools
