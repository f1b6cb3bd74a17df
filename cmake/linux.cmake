# The Linux build: the simulator, the library as a shared object that the
# simulator's loader loads, the tests, tools and benchmarks.
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(GTest REQUIRED)

if(PTASPI_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# The built-in default machine, compiled into the simulator from its file.
set(PTASPI_DEFAULT_MACHINE ${CMAKE_SOURCE_DIR}/machines/default.json)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PTASPI_DEFAULT_MACHINE})
file(READ ${PTASPI_DEFAULT_MACHINE} PTASPI_DEFAULT_MACHINE_TEXT)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/default_machine_text.cpp
  CONTENT "// Generated from machines/default.json.\nnamespace sim {\nextern const char DefaultMachineJson[] = R\"ptaspi_machine(@PTASPI_DEFAULT_MACHINE_TEXT@)ptaspi_machine\";\n}\n"
  @ONLY)

file(GLOB_RECURSE PTASPI_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
add_library(winsim SHARED ${PTASPI_SIM_SOURCES}
  ${CMAKE_BINARY_DIR}/generated/default_machine_text.cpp)
target_include_directories(winsim BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/sim/include)
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
# Code built for Windows calls the simulator with the stack aligned to 4
# bytes only, not the 16 that the Linux i386 ABI promises.
target_compile_options(winsim PRIVATE ${PTASPI_WARNINGS} -mincoming-stack-boundary=2)
# The iscsi backend's initiator; only the simulator links it, never the
# library.
find_library(PTASPI_LIBISCSI iscsi REQUIRED)
find_path(PTASPI_LIBISCSI_INCLUDE iscsi/iscsi.h REQUIRED)
target_include_directories(winsim SYSTEM PRIVATE ${PTASPI_LIBISCSI_INCLUDE})
target_link_libraries(winsim PUBLIC Threads::Threads ${CMAKE_DL_LIBS}
  PRIVATE nlohmann_json::nlohmann_json ${PTASPI_LIBISCSI})

# The library's code, compiled once for the shared object and the unit tests.
add_library(ptaspi_objects OBJECT ${PTASPI_LIBRARY_SOURCES})
target_include_directories(ptaspi_objects BEFORE PUBLIC ${CMAKE_SOURCE_DIR}/sim/include)
target_include_directories(ptaspi_objects PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_options(ptaspi_objects PRIVATE ${PTASPI_WARNINGS} -fno-exceptions -fno-rtti)

if(PTASPI_ENTRY_SOURCES)
  add_library(ptaspi32 SHARED ${PTASPI_ENTRY_SOURCES} $<TARGET_OBJECTS:ptaspi_objects>)
  target_include_directories(ptaspi32 BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/sim/include)
  target_include_directories(ptaspi32 PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
  target_compile_options(ptaspi32 PRIVATE ${PTASPI_WARNINGS} -fno-exceptions -fno-rtti)
  target_link_libraries(ptaspi32 PRIVATE winsim)
  target_link_options(ptaspi32 PRIVATE
    -Wl,--version-script=${CMAKE_SOURCE_DIR}/interface/ptaspi32.map -Wl,--no-undefined)
  set_target_properties(ptaspi32 PROPERTIES PREFIX "lib")
endif()

enable_testing()
include(GoogleTest)

function(ptaspi_test_folder name folder)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${folder}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_compile_options(${name} PRIVATE ${PTASPI_WARNINGS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARGN} winsim GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    PTASPI_SOURCE_DIR="${CMAKE_SOURCE_DIR}" PTASPI_BINARY_DIR="${CMAKE_BINARY_DIR}"
    PTASPI_WINDOWS_DLL="${CMAKE_SOURCE_DIR}/build/windows/ptaspi32.dll")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 600)
endfunction()

ptaspi_test_folder(sim_tests sim)
ptaspi_test_folder(unit_tests unit ptaspi_objects)
if(TARGET ptaspi32)
  ptaspi_test_folder(e2e_tests e2e)
  if(TARGET e2e_tests)
    add_dependencies(e2e_tests ptaspi32)
  endif()
  ptaspi_test_folder(reliability_tests reliability)
  if(TARGET reliability_tests)
    add_dependencies(reliability_tests ptaspi32)
  endif()
endif()

file(GLOB PTASPI_TOOL_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tools/*)
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  add_subdirectory(tools)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()

# The loader's test fixture: a tiny library whose DllMain counts its calls.
if(TARGET sim_tests)
  add_library(entry_library SHARED ${CMAKE_SOURCE_DIR}/tests/sim/fixtures/entry_library.cpp)
  target_include_directories(entry_library BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/sim/include)
  target_compile_options(entry_library PRIVATE ${PTASPI_WARNINGS})
  add_dependencies(sim_tests entry_library)
  target_compile_definitions(sim_tests PRIVATE
    PTASPI_ENTRY_LIBRARY="$<TARGET_FILE:entry_library>")
  # The PE loader's fixture: a small Windows DLL, built when the mingw-w64
  # compiler is there; the tests that need it skip without it.
  set(PTASPI_PE_PROBE ${CMAKE_BINARY_DIR}/fixtures/pe_probe.dll)
  set(PTASPI_PE_PROBE_SOURCES ${CMAKE_SOURCE_DIR}/tests/sim/fixtures/pe_probe.c
                              ${CMAKE_SOURCE_DIR}/tests/sim/fixtures/pe_probe.def)
  find_program(PTASPI_MINGW_CC i686-w64-mingw32-gcc)
  if(PTASPI_MINGW_CC)
    add_custom_command(OUTPUT ${PTASPI_PE_PROBE}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/fixtures
      COMMAND ${PTASPI_MINGW_CC} -O2 -Wall -Wextra -Werror -nostdlib -shared
              -fno-asynchronous-unwind-tables -Wl,--entry,_ProbeEntry@12
              -Wl,--image-base,0x6E000000 -Wl,--section-alignment,0x2000
              -o ${PTASPI_PE_PROBE} ${PTASPI_PE_PROBE_SOURCES}
      DEPENDS ${PTASPI_PE_PROBE_SOURCES} VERBATIM)
    add_custom_target(pe_probe DEPENDS ${PTASPI_PE_PROBE})
    add_dependencies(sim_tests pe_probe)
  endif()
  target_compile_definitions(sim_tests PRIVATE PTASPI_PE_PROBE="${PTASPI_PE_PROBE}")
endif()

# aspitool's tests run the built tool as a subprocess on machine files.
if(TARGET aspitool AND TARGET ptaspi32)
  ptaspi_test_folder(tool_tests tool nlohmann_json::nlohmann_json)
  if(TARGET tool_tests)
    add_dependencies(tool_tests aspitool ptaspi32)
    # The whole tool suite once more with aspitool on the Windows DLL;
    # skipped (77) until the windows preset has built it. Not in the
    # sanitised build: there the DLL is not instrumented, and the simulator
    # code it reaches (the PE loader, the import thunks, the platform
    # calls) is reached by the same DLL under aspitool.exe below and by the
    # end-to-end suite's run on the DLL.
    set(PTASPI_WINDOWS_DLL ${CMAKE_SOURCE_DIR}/build/windows/ptaspi32.dll)
    if(NOT PTASPI_SANITIZE)
      add_test(NAME ToolSuiteOnWindowsDll
        COMMAND sh -c "test -r '${PTASPI_WINDOWS_DLL}' || exit 77; exec \"$0\" --gtest_brief=1"
                $<TARGET_FILE:tool_tests>)
      set_tests_properties(ToolSuiteOnWindowsDll PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600
        ENVIRONMENT "PTASPI_TOOL_LIBRARY=${PTASPI_WINDOWS_DLL}")
    endif()
    # And a third time with aspitool.exe itself, the Windows build of the
    # client, run by ntrun with the DLL beside it; skipped (77) until the
    # windows preset has built it.
    set(PTASPI_WINDOWS_PROGRAM ${CMAKE_SOURCE_DIR}/build/windows/aspitool.exe)
    if(TARGET ntrun)
      add_dependencies(tool_tests ntrun)
      target_compile_definitions(tool_tests PRIVATE PTASPI_NTRUN="$<TARGET_FILE:ntrun>"
        PTASPI_WINDOWS_PROGRAM="${PTASPI_WINDOWS_PROGRAM}")
      add_test(NAME ToolSuiteOnWindowsProgram
        COMMAND sh -c "test -r '${PTASPI_WINDOWS_PROGRAM}' || exit 77; exec \"$0\" --gtest_brief=1"
                $<TARGET_FILE:tool_tests>)
      set_tests_properties(ToolSuiteOnWindowsProgram PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900
        ENVIRONMENT "PTASPI_TOOL_PROGRAM=${PTASPI_WINDOWS_PROGRAM}")
    else()
      target_compile_definitions(tool_tests PRIVATE PTASPI_NTRUN="ntrun"
        PTASPI_WINDOWS_PROGRAM="${PTASPI_WINDOWS_PROGRAM}.none")
    endif()
    # A library that breaks its promises, for the tests of aspitool check.
    add_library(broken_aspi_library SHARED ${CMAKE_SOURCE_DIR}/tests/tool/fixtures/broken_aspi_library.cpp)
    target_include_directories(broken_aspi_library BEFORE PRIVATE ${CMAKE_SOURCE_DIR}/sim/include)
    target_compile_options(broken_aspi_library PRIVATE ${PTASPI_WARNINGS})
    target_link_libraries(broken_aspi_library PRIVATE winsim)
    add_dependencies(tool_tests broken_aspi_library)
    target_compile_definitions(tool_tests PRIVATE
      PTASPI_BROKEN_LIBRARY="$<TARGET_FILE:broken_aspi_library>")
    # The same library as a Windows DLL that never completes a request, for
    # aspitool.exe under ntrun; built when the mingw-w64 compiler is there,
    # its test skips without it.
    set(PTASPI_BROKEN_DLL ${CMAKE_BINARY_DIR}/fixtures/broken_aspi_library.dll)
    find_program(PTASPI_MINGW_CXX i686-w64-mingw32-g++)
    if(PTASPI_MINGW_CXX)
      set(broken ${CMAKE_SOURCE_DIR}/tests/tool/fixtures/broken_aspi_library)
      add_custom_command(OUTPUT ${PTASPI_BROKEN_DLL}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/fixtures
        COMMAND ${PTASPI_MINGW_CXX} -O2 -Wall -Wextra -Werror -Wno-attributes -fno-exceptions
                -DPTASPI_BROKEN_BEHAVIOUR="never" -shared -static-libgcc -o ${PTASPI_BROKEN_DLL} ${broken}.cpp ${broken}.def
        DEPENDS ${broken}.cpp ${broken}.def VERBATIM)
      add_custom_target(broken_aspi_dll DEPENDS ${PTASPI_BROKEN_DLL})
      add_dependencies(tool_tests broken_aspi_dll)
    endif()
    target_compile_definitions(tool_tests PRIVATE PTASPI_BROKEN_DLL="${PTASPI_BROKEN_DLL}")
  endif()
endif()

# The tests against real iSCSI units, behind tgtd on loopback.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/iscsi/CMakeLists.txt)
  add_subdirectory(tests/iscsi)
endif()

# The program runner's tests run ntrun on small Windows programs built
# here with mingw-w64 (skipped without it): a console program with a DLL
# it imports, the same program as a GUI one, a program on the C runtime
# that prints its arguments, and one on the C runtime with the DLL whose
# modes try a process's life (its end, its standard handles, Ctrl-C).
if(TARGET ntrun)
  ptaspi_test_folder(runner_tests runner)
endif()
if(TARGET runner_tests)
  add_dependencies(runner_tests ntrun)
  set(PTASPI_RUNNER_FIXTURES ${CMAKE_BINARY_DIR}/fixtures/runner)
  set(fixtures ${CMAKE_SOURCE_DIR}/tests/runner/fixtures)
  if(PTASPI_MINGW_CC)
    set(flags -O2 -Wall -Wextra -Werror -ffreestanding -fno-asynchronous-unwind-tables)
    add_custom_command(
      OUTPUT ${PTASPI_RUNNER_FIXTURES}/runner_dll.dll ${PTASPI_RUNNER_FIXTURES}/runner_program.exe
             ${PTASPI_RUNNER_FIXTURES}/runner_gui.exe ${PTASPI_RUNNER_FIXTURES}/argv_program.exe
             ${PTASPI_RUNNER_FIXTURES}/process_program.exe
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PTASPI_RUNNER_FIXTURES}
      COMMAND ${PTASPI_MINGW_CC} ${flags} -nostdlib -shared -Wl,--entry,_RunnerDllEntry@12
              -o ${PTASPI_RUNNER_FIXTURES}/runner_dll.dll ${fixtures}/runner_dll.c -lkernel32
      COMMAND ${PTASPI_MINGW_CC} ${flags} -nostdlib -Wl,--entry,_ProgramEntry
              -Wl,--subsystem,console -o ${PTASPI_RUNNER_FIXTURES}/runner_program.exe
              ${fixtures}/runner_program.c ${PTASPI_RUNNER_FIXTURES}/runner_dll.dll -lkernel32
      COMMAND ${PTASPI_MINGW_CC} ${flags} -nostdlib -Wl,--entry,_ProgramEntry
              -Wl,--subsystem,windows -o ${PTASPI_RUNNER_FIXTURES}/runner_gui.exe
              ${fixtures}/runner_program.c ${PTASPI_RUNNER_FIXTURES}/runner_dll.dll -lkernel32
      COMMAND ${PTASPI_MINGW_CC} -O2 -Wall -Wextra -Werror
              -o ${PTASPI_RUNNER_FIXTURES}/argv_program.exe ${fixtures}/argv_program.c
      COMMAND ${PTASPI_MINGW_CC} -O2 -Wall -Wextra -Werror
              -o ${PTASPI_RUNNER_FIXTURES}/process_program.exe ${fixtures}/process_program.c
              ${PTASPI_RUNNER_FIXTURES}/runner_dll.dll
      DEPENDS ${fixtures}/runner_dll.c ${fixtures}/runner_program.c ${fixtures}/argv_program.c
              ${fixtures}/process_program.c
      VERBATIM)
    add_custom_target(runner_fixtures DEPENDS ${PTASPI_RUNNER_FIXTURES}/runner_program.exe)
    add_dependencies(runner_tests runner_fixtures)
    # Exceptions: a program with its own frames on the fs:[0] chain,
    # linked for a 32 MB stack.
    add_custom_command(
      OUTPUT ${PTASPI_RUNNER_FIXTURES}/seh_program.exe
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PTASPI_RUNNER_FIXTURES}
      COMMAND ${PTASPI_MINGW_CC} ${flags} -nostdlib -Wl,--entry,_ProgramEntry
              -Wl,--subsystem,console -Wl,--stack,33554432
              -o ${PTASPI_RUNNER_FIXTURES}/seh_program.exe ${fixtures}/seh_program.c
              -lkernel32 -lmsvcrt -lgcc
      DEPENDS ${fixtures}/seh_program.c
      VERBATIM)
    add_custom_target(runner_exception_fixtures DEPENDS ${PTASPI_RUNNER_FIXTURES}/seh_program.exe)
    add_dependencies(runner_tests runner_exception_fixtures)
  endif()
  # A program built the MSVC way: clang for i686-pc-windows-msvc, lld-link
  # against import libraries made from this project's .def files, with
  # start-up code of its own in the shape of Microsoft's (skipped without
  # clang, lld and llvm).
  find_program(PTASPI_CLANG clang)
  find_program(PTASPI_LLD_LINK lld-link)
  find_program(PTASPI_DLLTOOL llvm-dlltool)
  if(PTASPI_CLANG AND PTASPI_LLD_LINK AND PTASPI_DLLTOOL)
    set(msvc ${fixtures}/msvc)
    set(msvcOut ${PTASPI_RUNNER_FIXTURES}/msvc)
    set(msvcFlags --target=i686-pc-windows-msvc -O1 -Wall -Wextra -Werror -ffreestanding
        -fno-builtin)
    add_custom_command(
      OUTPUT ${PTASPI_RUNNER_FIXTURES}/msvc_program.exe
      COMMAND ${CMAKE_COMMAND} -E make_directory ${msvcOut}
      COMMAND ${PTASPI_DLLTOOL} -m i386 -d ${msvc}/msvcrt.def -l ${msvcOut}/msvcrt.lib
      COMMAND ${PTASPI_DLLTOOL} -m i386 -k -d ${msvc}/kernel32.def -l ${msvcOut}/kernel32.lib
      COMMAND ${PTASPI_CLANG} ${msvcFlags} -c ${msvc}/startup.c -o ${msvcOut}/startup.obj
      COMMAND ${PTASPI_CLANG} ${msvcFlags} -c ${msvc}/msvc_program.c -o ${msvcOut}/msvc_program.obj
      COMMAND ${PTASPI_CLANG} --target=i686-pc-windows-msvc -c ${msvc}/eh4_frame.s
              -o ${msvcOut}/eh4_frame.obj
      COMMAND ${PTASPI_LLD_LINK} /nologo /subsystem:console /entry:mainCRTStartup /nodefaultlib
              /safeseh:no /out:${PTASPI_RUNNER_FIXTURES}/msvc_program.exe
              ${msvcOut}/startup.obj ${msvcOut}/msvc_program.obj ${msvcOut}/eh4_frame.obj
              ${msvcOut}/msvcrt.lib ${msvcOut}/kernel32.lib
      DEPENDS ${msvc}/msvcrt.def ${msvc}/kernel32.def ${msvc}/startup.c ${msvc}/msvc_program.c
              ${msvc}/msvc_declarations.h ${msvc}/eh4_frame.s
      VERBATIM)
    add_custom_target(runner_msvc_fixtures DEPENDS ${PTASPI_RUNNER_FIXTURES}/msvc_program.exe)
    add_dependencies(runner_tests runner_msvc_fixtures)
  endif()
  # The family programs (tests/runner/families): one C program per family
  # of Win32 and C runtime functions, built with mingw-w64 and the MSVC
  # way, a C++ one with winpthreads and a wmain one; built once per build
  # tree, as the sanitised suite's tests share them too.
  set(familySources ${CMAKE_SOURCE_DIR}/tests/runner/families)
  set(familyOut ${PTASPI_RUNNER_FIXTURES}/families)
  set(familyNames threads sync time stdio heap files console_com process)
  set(familyOutputs)
  if(PTASPI_MINGW_CC)
    set(familyCommands)
    foreach(family ${familyNames})
      list(APPEND familyOutputs ${familyOut}/${family}_family.exe)
      list(APPEND familyCommands COMMAND ${PTASPI_MINGW_CC} -O2 -Wall -Wextra -Werror -fno-builtin
           -o ${familyOut}/${family}_family.exe ${familySources}/${family}_family.c -lole32)
    endforeach()
    list(APPEND familyOutputs ${familyOut}/wmain_family.exe)
    list(APPEND familyCommands COMMAND ${PTASPI_MINGW_CC} -municode -O2 -Wall -Wextra -Werror
         -fno-builtin -o ${familyOut}/wmain_family.exe ${familySources}/wmain_family.c)
    find_program(PTASPI_MINGW_CXX_POSIX i686-w64-mingw32-g++-posix)
    if(PTASPI_MINGW_CXX_POSIX)
      list(APPEND familyOutputs ${familyOut}/threads_cpp.exe)
      list(APPEND familyCommands COMMAND ${PTASPI_MINGW_CXX_POSIX} -O2 -Wall -Wextra -Werror -static
           -o ${familyOut}/threads_cpp.exe ${familySources}/threads_cpp.cpp)
    endif()
    if(PTASPI_CLANG AND PTASPI_LLD_LINK AND PTASPI_DLLTOOL)
      set(familyMsvcFlags --target=i686-pc-windows-msvc -O1 -Wall -Wextra -Werror -ffreestanding
          -fno-builtin)
      list(APPEND familyCommands
           COMMAND ${PTASPI_DLLTOOL} -m i386 -d ${familySources}/msvc/msvcrt.def
                   -l ${familyOut}/msvcrt.lib
           COMMAND ${PTASPI_DLLTOOL} -m i386 -k -d ${familySources}/msvc/kernel32.def
                   -l ${familyOut}/kernel32.lib
           COMMAND ${PTASPI_DLLTOOL} -m i386 -k -d ${familySources}/msvc/ole32.def
                   -l ${familyOut}/ole32.lib
           COMMAND ${PTASPI_CLANG} ${familyMsvcFlags} -c ${fixtures}/msvc/startup.c
                   -o ${familyOut}/startup.obj)
      foreach(family ${familyNames})
        list(APPEND familyOutputs ${familyOut}/${family}_msvc.exe)
        list(APPEND familyCommands
             COMMAND ${PTASPI_CLANG} ${familyMsvcFlags} -c ${familySources}/${family}_family.c
                     -o ${familyOut}/${family}.obj
             COMMAND ${PTASPI_LLD_LINK} /nologo /subsystem:console /entry:mainCRTStartup
                     /nodefaultlib /safeseh:no /out:${familyOut}/${family}_msvc.exe
                     ${familyOut}/startup.obj ${familyOut}/${family}.obj ${familyOut}/msvcrt.lib
                     ${familyOut}/kernel32.lib ${familyOut}/ole32.lib)
      endforeach()
    endif()
    file(GLOB familyInputs ${familySources}/*.c ${familySources}/*.h ${familySources}/*.cpp
         ${familySources}/msvc/*.def)
    add_custom_command(
      OUTPUT ${familyOutputs}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${familyOut}
      ${familyCommands}
      DEPENDS ${familyInputs} ${fixtures}/msvc/startup.c ${fixtures}/msvc/msvc_declarations.h
      VERBATIM)
    add_custom_target(runner_family_programs DEPENDS ${familyOutputs})
    add_dependencies(runner_tests runner_family_programs)
  endif()
  target_compile_definitions(runner_tests PRIVATE PTASPI_NTRUN="$<TARGET_FILE:ntrun>"
    PTASPI_RUNNER_FIXTURES="${PTASPI_RUNNER_FIXTURES}")
endif()

# sg3_utils' Windows tools under ntrun against aspitool's answers, on the
# default machine and on every machine file; the tools are fetched and
# built once per source tree (scripts/sg3-tools.sh, whose lock file keeps
# two tests or two suites from building at once, so the tests themselves
# run side by side).
add_test(NAME Sg3ToolsAgreeWithAspitool
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/sg3/sg3_tools_test.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
set_tests_properties(Sg3ToolsAgreeWithAspitool PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1800)
file(GLOB PTASPI_MACHINE_FILES ${CMAKE_SOURCE_DIR}/machines/*.json)
# The sanitised build leaves two machines to the unsanitised suite: every
# kind of unit on them (disk, CD-ROM, scripted; disk, tape, processor) is
# on the default machine or the troubled one too, and the tools and
# aspitool send them the same commands through the same simulator code,
# which those runs check sanitised. The tools are not ours to check.
set(PTASPI_SG3_UNSANITISED_ONLY burning_workstation tape_backup_server)
foreach(machineFile ${PTASPI_MACHINE_FILES})
  get_filename_component(machineName ${machineFile} NAME_WE)
  if(PTASPI_SANITIZE AND machineName IN_LIST PTASPI_SG3_UNSANITISED_ONLY)
    continue()
  endif()
  add_test(NAME Sg3ToolsAgreeWithAspitool.${machineName}
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/sg3/sg3_machine_test.sh ${CMAKE_SOURCE_DIR}
            ${CMAKE_BINARY_DIR} ${machineFile})
  set_tests_properties(Sg3ToolsAgreeWithAspitool.${machineName} PROPERTIES SKIP_RETURN_CODE 77
    TIMEOUT 1800)
endforeach()
# The same on the default machine with aspitool on the Windows DLL; on the
# unsanitised build only, as the sanitised one runs the comparisons above.
if(NOT PTASPI_SANITIZE)
  add_test(NAME Sg3ToolsAgreeWithAspitool.default_windows_dll
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/sg3/sg3_machine_test.sh ${CMAKE_SOURCE_DIR}
            ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/machines/default.json)
  set_tests_properties(Sg3ToolsAgreeWithAspitool.default_windows_dll PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 1800
    ENVIRONMENT SG3_ASPI_LIBRARY=${CMAKE_SOURCE_DIR}/build/windows/ptaspi32.dll)
endif()

# Scheduling. In a fresh build folder ctest has no times of its own yet
# (Testing/Temporary/CTestCostData.txt) and starts the tests in the order
# they were added, which leaves the longest, added last, for the end with
# a processor idle beside them: a whole suite in one test, the sg3_utils
# comparisons. These costs (their seconds in one loaded run) start the
# longest first. Once ctest has timed a run, its own times take over.
foreach(entry Sg3ToolsAgreeWithAspitool.default:140
              Sg3ToolsAgreeWithAspitool.default_windows_dll:140
              ToolSuiteOnWindowsProgram:125 ToolSuiteOnWindowsDll:90
              Sg3ToolsAgreeWithAspitool.tape_backup_server:75
              Sg3ToolsAgreeWithAspitool.burning_workstation:70
              Sg3ToolsAgreeWithAspitool.troubled_machine:60 Sg3ToolsAgreeWithAspitool:35)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 name)
  list(GET entry 1 cost)
  if(TEST ${name})
    set_tests_properties(${name} PROPERTIES COST ${cost})
  endif()
endforeach()
