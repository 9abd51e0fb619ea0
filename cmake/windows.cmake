# Windows, x86-64 with MinGW-w64 or ARM64 with LLVM: the launcher itself, the
# Windows-side test programs, and the tests that read back or run them.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "ARM64")
    set(arm64 ON)
    set(HL_MANIFEST_ARCH arm64)
else()
    set(arm64 OFF)
    set(HL_MANIFEST_ARCH amd64)
endif()

# Builds that are byte for byte the same wherever and whenever they run.
set(reproducible -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
set(reproducible_link -Wl,--no-insert-timestamp)

enable_language(RC)
# The packer brands a copy of the built launcher (icon, ProductName,
# ProductVersion) by writing its resources; the build names the product
# itself.
set(HL_VERSION_QUAD ${PROJECT_VERSION}.0)
set(resource_dir ${CMAKE_BINARY_DIR}/resources)
configure_file(${launcher_src}/Harbor-Lantern.manifest
    ${resource_dir}/Harbor-Lantern.manifest @ONLY)
file(WRITE ${CMAKE_BINARY_DIR}/version.txt ${PROJECT_VERSION})

# The console launcher, the windowed one and the command-line tool, from the
# same sources: the windowed one starts pythonw.exe, shows its messages in a
# dialog, and has a string table with the product name for the dialog's
# title; the tool keeps the caller's folder and passes every exit code on.
function(add_launcher name kind)
    set(rc ${resource_dir}/${name}.rc)
    if(kind STREQUAL "windowed")
        set(HL_STRING_TABLE "STRINGTABLE\nBEGIN\n    1, \"Harbor-Lantern\"\nEND")
        set(output ${launcher_src}/output_window.cpp)
        set(subsystem windows)
        set(defines -DHL_WINDOWED)
        set(libraries user32)
    else()
        set(HL_STRING_TABLE "")
        set(output ${launcher_src}/output_console.cpp)
        set(subsystem console)
        set(defines)
        set(libraries)
        if(kind STREQUAL "tool")
            set(defines -DHL_CONSOLE_TOOL)
        endif()
    endif()
    configure_file(${launcher_src}/Harbor-Lantern.rc.in ${rc} @ONLY)
    # windres reads the manifest by name, which CMake's scan of the .rc does
    # not see: without this an edited manifest would not reach the exe.
    set_source_files_properties(${rc} PROPERTIES
        OBJECT_DEPENDS ${resource_dir}/Harbor-Lantern.manifest)
    add_executable(${name} ${rc} ${launcher_src}/main.cpp ${run_sources} ${plan_sources}
        ${launcher_src}/platform_win32.cpp ${output})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    target_compile_options(${name} PRIVATE ${warnings} ${reproducible} ${defines}
        -Os -fno-exceptions -fno-rtti -ffunction-sections -fdata-sections
        # msvcrt's own printf, not MinGW's larger replacement.
        -D__USE_MINGW_ANSI_STDIO=0 -DWIN32_LEAN_AND_MEAN -DUNICODE -D_UNICODE)
    # Static, so that the only imports are KnownDLLs (KERNEL32.dll,
    # msvcrt.dll, and USER32.dll for the dialog): no DLL lying beside the
    # launcher in Downloads is ever loaded.
    target_link_options(${name} PRIVATE -static -s ${reproducible_link}
        -nostartfiles -Wl,--entry,launcher_process_start
        -Wl,--gc-sections -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat
        -Wl,--subsystem,${subsystem})
    if(libraries AND NOT arm64)
        target_link_libraries(${name} PRIVATE ${libraries})
    endif()
endfunction()
add_launcher(Harbor-Lantern console)
add_launcher(Harbor-Lantern-windowed windowed)
add_launcher(Harbor-Lantern-tool tool)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME launcher_binary
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/check_binary.py
        --machine ${CMAKE_SYSTEM_PROCESSOR} --version ${PROJECT_VERSION}
        $<TARGET_FILE:Harbor-Lantern>)
add_test(NAME windowed_launcher_binary
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/check_binary.py
        --machine ${CMAKE_SYSTEM_PROCESSOR} --version ${PROJECT_VERSION} --windowed
        $<TARGET_FILE:Harbor-Lantern-windowed>)
add_test(NAME tool_launcher_binary
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/check_binary.py
        --machine ${CMAKE_SYSTEM_PROCESSOR} --version ${PROJECT_VERSION}
        $<TARGET_FILE:Harbor-Lantern-tool>)
add_test(NAME branded_resources
    COMMAND ${CMAKE_COMMAND} -E env HL_LAUNCHER=$<TARGET_FILE:Harbor-Lantern>
        ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_resources.py -v)

if(arm64)
    include(${CMAKE_CURRENT_LIST_DIR}/windows-arm64.cmake)
else()
    include(${CMAKE_CURRENT_LIST_DIR}/windows-x64.cmake)
endif()
