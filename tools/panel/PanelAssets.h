// The page's files, compiled into the tool from tools/panel/web/ (see
// EmbedWeb.cmake): the panel runs from any directory and fetches nothing.
#pragma once

#include <cstddef>
#include <string>

namespace veltor::panel {

struct Asset {
    const char* path;  // "/panel.js"
    const char* type;  // its Content-Type
    const char* bytes;
    std::size_t size;
};

// The file served at that path, or null.
const Asset* FindAsset(const std::string& path);

}  // namespace veltor::panel
