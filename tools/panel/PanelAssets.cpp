#include "tools/panel/PanelAssets.h"

#include "tools/panel/PanelWeb.h"

namespace veltor::panel {

const Asset* FindAsset(const std::string& path) {
    for (const Asset& asset : kWebAssets) {
        if (path == asset.path) {
            return &asset;
        }
    }
    return nullptr;
}

}  // namespace veltor::panel
