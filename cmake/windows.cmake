# The Windows build with mingw-w64: the library's sources compiled against
# the real <windows.h>, linked into ptaspi32.dll. No libstdc++ or libgcc DLL
# may be needed at run time, and the DLL imports only from KERNEL32,
# ADVAPI32, USER32 and msvcrt.
enable_language(RC)

add_library(ptaspi_core STATIC ${PTASPI_LIBRARY_SOURCES})
target_include_directories(ptaspi_core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_options(ptaspi_core PRIVATE ${PTASPI_WARNINGS} -fno-exceptions -fno-rtti)

if(PTASPI_ENTRY_SOURCES)
  add_library(ptaspi32 SHARED ${PTASPI_ENTRY_SOURCES} ${PTASPI_LIBRARY_SOURCES}
    ${CMAKE_SOURCE_DIR}/interface/ptaspi32.def ${CMAKE_SOURCE_DIR}/interface/version.rc)
  target_include_directories(ptaspi32 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(ptaspi32 PRIVATE ${PTASPI_WARNINGS} -fno-exceptions -fno-rtti)
  set_target_properties(ptaspi32 PROPERTIES PREFIX "" OUTPUT_NAME ptaspi32
    IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
  target_link_options(ptaspi32 PRIVATE -static-libgcc -static-libstdc++
    -Wl,--kill-at -Wl,--enable-stdcall-fixup -Wl,--no-insert-timestamp)
  target_link_libraries(ptaspi32 PRIVATE kernel32 advapi32 user32)
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()

# The release archive that users download (cpack in the build folder):
# the DLL and the client side by side, the import library and module
# definition for linking, the public header, the install text and the
# licence. Its name carries the version of the DLL's version resource.
file(STRINGS ${CMAKE_SOURCE_DIR}/interface/version.rc PTASPI_VERSION_LINE
  REGEX "define PTASPI_VERSION_TEXT")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+" PTASPI_RESOURCE_VERSION
  "${PTASPI_VERSION_LINE}")
if(TARGET ptaspi32)
  install(TARGETS ptaspi32 RUNTIME DESTINATION . ARCHIVE DESTINATION lib)
  install(FILES ${CMAKE_SOURCE_DIR}/interface/ptaspi32.def DESTINATION lib)
endif()
if(TARGET aspitool)
  install(TARGETS aspitool RUNTIME DESTINATION .)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/include/ptaspi32.h DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/docs/INSTALL.txt ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ptaspi)
set(CPACK_PACKAGE_VERSION ${PTASPI_RESOURCE_VERSION})
set(CPACK_PACKAGE_FILE_NAME ptaspi-${PTASPI_RESOURCE_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
