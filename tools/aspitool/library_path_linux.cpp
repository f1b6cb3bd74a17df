// The default library on the simulated machine: libptaspi32.so in the root
// of the build directory, one level above the tool's own folder.
#include "aspi_library.h"

#include <climits>
#include <unistd.h>

namespace aspitool {

std::string DefaultLibraryPath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "libptaspi32.so";
    std::string path(self, static_cast<size_t>(length));
    // Drop the file name, then the tools/ folder.
    for (int level = 0; level < 2; ++level) {
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return "libptaspi32.so";
        path.erase(slash);
    }
    return path + "/libptaspi32.so";
}

}  // namespace aspitool
