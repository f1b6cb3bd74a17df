// The default library on Windows: ptaspi32.dll by its plain name, which the
// loader looks for first in the folder of the executable.
#include "aspi_library.h"

namespace aspitool {

std::string DefaultLibraryPath() {
    return "ptaspi32.dll";
}

}  // namespace aspitool
