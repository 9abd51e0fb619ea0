# x86-64 with MinGW-w64: the test programs, the unit tests and the end-to-end
# tests under Wine in a prefix of this build's own.
set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(wine_env WINEPREFIX=${WINE_PREFIX} WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml=")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env ${wine_env} /usr/lib/wine/wine64)

# Test programs: plain static binaries so Wine needs no MinGW DLLs.
function(windows_test_program name)
    add_executable(${name} ${ARGN})
    target_compile_options(${name} PRIVATE ${warnings} ${reproducible}
        -municode -DUNICODE -D_UNICODE)
    # Stripped and without a time stamp: the demo zip ships the stand-in.
    target_link_options(${name} PRIVATE -municode -static -s ${reproducible_link})
endfunction()

windows_test_program(stand_in_python tests/e2e/stand_in_python.cpp)
windows_test_program(spawn tests/e2e/spawn.cpp)
windows_test_program(resource_probe tests/e2e/resource_probe.cpp)
target_link_libraries(resource_probe PRIVATE version shell32)
windows_test_program(dialog_text tests/e2e/dialog_text.cpp)
target_link_libraries(dialog_text PRIVATE user32)

# Wine 8.0's missing bcryptprimitives.dll, for running uv.exe in the test of
# packing on Windows; copied into that test's own prefix, never shipped.
add_library(bcryptprimitives SHARED tests/e2e/bcryptprimitives.cpp)
set_target_properties(bcryptprimitives PROPERTIES PREFIX "")
target_compile_options(bcryptprimitives PRIVATE ${warnings})
target_link_options(bcryptprimitives PRIVATE -static -s -Wl,--kill-at)
target_link_libraries(bcryptprimitives PRIVATE advapi32)

# make bench: not a test; built only when asked for.
add_executable(floor_launcher EXCLUDE_FROM_ALL tests/bench/floor_launcher.cpp)
target_compile_options(floor_launcher PRIVATE ${warnings} -Os -fno-exceptions -fno-rtti)
target_link_options(floor_launcher PRIVATE -static -s -nostdlib -Wl,--entry,floor_start)
target_link_libraries(floor_launcher PRIVATE kernel32)
add_executable(bench EXCLUDE_FROM_ALL tests/bench/bench.cpp)
target_compile_options(bench PRIVATE ${warnings} -municode -DUNICODE -D_UNICODE)
target_link_options(bench PRIVATE -municode -static)
add_dependencies(bench floor_launcher)

set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
add_executable(unit_tests ${unit_test_sources} ${plan_sources} ${run_sources})
target_include_directories(unit_tests PRIVATE ${launcher_src})
target_compile_options(unit_tests PRIVATE ${warnings})
target_link_libraries(unit_tests PRIVATE gtest_main)
target_link_options(unit_tests PRIVATE -static)

add_test(NAME wine_prefix
    COMMAND ${CMAKE_COMMAND} -E env ${wine_env}
        sh ${CMAKE_SOURCE_DIR}/tools/make-wine-prefix.sh)
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)

add_test(NAME unit_tests_wine COMMAND unit_tests)
set_tests_properties(unit_tests_wine PROPERTIES FIXTURES_REQUIRED wine)

add_test(NAME reproducible_build
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/check_reproducible.py -v)
set_tests_properties(reproducible_build PROPERTIES TIMEOUT 900)

# The official CPython 3.7.4 embeddable runtime, for the one end-to-end case
# on a real interpreter.
find_file(HL_REAL_RUNTIME python-3.7.4-embed-amd64.zip
    PATHS ${CMAKE_SOURCE_DIR}/../shared/runtimes /work/shared/runtimes
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
set(e2e_env ${wine_env} HL_STAND_IN=$<TARGET_FILE:stand_in_python>
    HL_SPAWN=$<TARGET_FILE:spawn> HL_REAL_RUNTIME=${HL_REAL_RUNTIME})
add_test(NAME launcher_end_to_end
    COMMAND ${CMAKE_COMMAND} -E env ${e2e_env} HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        HL_TOOL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern-tool>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_launcher.py -v)
set_tests_properties(launcher_end_to_end PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900)

add_test(NAME windowed_end_to_end
    COMMAND ${CMAKE_COMMAND} -E env ${e2e_env} HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        HL_WINDOWED_LAUNCHER=$<TARGET_FILE:Harbor-Lantern-windowed>
        HL_DIALOG_TEXT=$<TARGET_FILE:dialog_text>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_windowed.py -v)
set_tests_properties(windowed_end_to_end PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900)

# python.org's 3.11.9, 3.12.9 and 3.13.2, fetched from the package index on
# first use and kept under build/runtimes.
add_test(NAME todays_pythons_end_to_end
    COMMAND ${CMAKE_COMMAND} -E env ${wine_env} HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        HL_TOOL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern-tool>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_modern.py -v)
set_tests_properties(todays_pythons_end_to_end PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900)

add_test(NAME bytecode_end_to_end
    COMMAND ${CMAKE_COMMAND} -E env ${wine_env} HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_bytecode.py -v)
set_tests_properties(bytecode_end_to_end PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900)

# harbor-lantern pack run by a Windows CPython under Wine, in a prefix of its
# own; its zip against the Linux one.
add_test(NAME windows_maker_end_to_end
    COMMAND ${CMAKE_COMMAND} -E env WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
        HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        HL_BCRYPTPRIMITIVES=$<TARGET_FILE:bcryptprimitives>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_windows_maker.py -v)
set_tests_properties(windows_maker_end_to_end PROPERTIES TIMEOUT 1200)

# Installs into a Wine prefix of its own, made by the test.
add_test(NAME msi_end_to_end
    COMMAND ${CMAKE_COMMAND} -E env WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
        HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern> HL_REAL_RUNTIME=${HL_REAL_RUNTIME}
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_msi.py -v)
set_tests_properties(msi_end_to_end PROPERTIES TIMEOUT 900)

set(signed_launcher ${CMAKE_BINARY_DIR}/signed/Harbor-Lantern.exe)
add_test(NAME package_zip
    COMMAND ${CMAKE_COMMAND} -E env HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_package.py -v)
add_test(NAME dependencies_for_windows
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_dependencies.py -v)
set_tests_properties(dependencies_for_windows PROPERTIES TIMEOUT 900)
add_test(NAME zip_records
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_archive.py -v)
set_tests_properties(zip_records PROPERTIES TIMEOUT 900)
add_test(NAME release_tag
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_release.py -v)
add_test(NAME names_for_windows
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_names.py -v)
add_test(NAME signing_ways
    COMMAND ${CMAKE_COMMAND} -E env HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_signing.py -v)
set_tests_properties(signing_ways PROPERTIES TIMEOUT 600)
add_test(NAME runtime_by_version
    COMMAND ${CMAKE_COMMAND} -E env HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_fetch.py -v)

add_test(NAME branding_and_signing
    COMMAND ${CMAKE_COMMAND} -E env ${wine_env} HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        HL_STAND_IN=$<TARGET_FILE:stand_in_python> HL_VERSION=${PROJECT_VERSION}
        HL_PROBE=$<TARGET_FILE:resource_probe> HL_KEEP_SIGNED=${signed_launcher}
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_branding.py -v)
set_tests_properties(branding_and_signing PROPERTIES FIXTURES_SETUP signed
    FIXTURES_REQUIRED wine TIMEOUT 900)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/signed)

# The signed, branded launcher runs as the plain one does.
add_test(NAME signed_launcher_end_to_end
    COMMAND ${CMAKE_COMMAND} -E env ${e2e_env} HL_LAUNCHER=${signed_launcher}
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/e2e/test_launcher.py -v
        CommandLinesAndFolders.test_child_gets_quoted_paths_then_the_tail_verbatim
        ExitCodesAndFailures.test_exit_codes
        CommandLinesAndFolders.test_environment_is_fixed_whatever_the_parent_had)
set_tests_properties(signed_launcher_end_to_end PROPERTIES
    FIXTURES_REQUIRED "wine;signed" TIMEOUT 900)
