#include "sim/kernel/host_paths.h"

#include <algorithm>

namespace sim {

std::string HostPath(const char* path) {
    std::string text = path;
    if (text.size() >= 2 && (text[0] == 'Z' || text[0] == 'z') && text[1] == ':') {
        text.erase(0, 2);
        if (text.empty()) text = "/";
    }
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::string WindowsPath(const std::string& hostPath) {
    std::string text = hostPath;
    std::replace(text.begin(), text.end(), '/', '\\');
    return !hostPath.empty() && hostPath[0] == '/' ? "Z:" + text : text;
}

}  // namespace sim
