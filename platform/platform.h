// The one platform header of the library: the real <windows.h> under
// mingw-w64, the simulated platform's declarations on Linux (whose include
// folder the build puts first). Nothing else in the library names a platform.
#ifndef PTASPI_PLATFORM_PLATFORM_H
#define PTASPI_PLATFORM_PLATFORM_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <process.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#endif
