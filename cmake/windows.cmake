# The Windows build with mingw-w64: the library's sources compiled against
# the real <windows.h>. No libstdc++ or libgcc DLL may be needed at run time.
add_library(ptaspi_core STATIC ${PTASPI_LIBRARY_SOURCES})
target_include_directories(ptaspi_core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_options(ptaspi_core PRIVATE ${PTASPI_WARNINGS} -fno-exceptions -fno-rtti)
