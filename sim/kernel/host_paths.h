// Files of the simulated process live in the host's file system, seen from
// the program as drive Z:, as a Windows program sees a network share: the
// host's "/home/user/a.bin" is the program's "Z:\home\user\a.bin". Paths
// without a drive keep their meaning, with either kind of slash.
#ifndef PTASPI_SIM_KERNEL_HOST_PATHS_H
#define PTASPI_SIM_KERNEL_HOST_PATHS_H

#include <string>

namespace sim {

// Returns the host path of the program's path `path`: "Z:\x\y" and "Z:/x/y"
// give "/x/y", and every backslash becomes a slash.
std::string HostPath(const char* path);
// Returns the program's path of the absolute host path `hostPath`
// ("/x/y" gives "Z:\x\y"); a relative path only has its slashes turned.
std::string WindowsPath(const std::string& hostPath);

}  // namespace sim

#endif
