# Linux: the plan and the run over the recording platform, once plain and
# once under AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzzer.
find_package(GTest REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)

foreach(variant unit_tests unit_tests_sanitized)
    add_executable(${variant} ${unit_test_sources} ${plan_sources} ${run_sources})
    target_include_directories(${variant} PRIVATE ${launcher_src})
    target_compile_options(${variant} PRIVATE ${warnings})
    target_link_libraries(${variant} PRIVATE GTest::gtest_main)
    add_test(NAME ${variant} COMMAND ${variant})
endforeach()
target_compile_options(unit_tests_sanitized PRIVATE ${sanitizers})
target_link_options(unit_tests_sanitized PRIVATE ${sanitizers})

# The command-line tool variant of the run, under the sanitizers.
add_executable(console_tool_tests tests/unit/console_tool_test.cpp
    tests/unit/recording_platform.cpp ${plan_sources} ${run_sources})
target_include_directories(console_tool_tests PRIVATE ${launcher_src})
target_compile_options(console_tool_tests PRIVATE ${warnings} ${sanitizers} -DHL_CONSOLE_TOOL)
target_link_options(console_tool_tests PRIVATE ${sanitizers})
target_link_libraries(console_tool_tests PRIVATE GTest::gtest_main)
add_test(NAME console_tool_tests COMMAND console_tool_tests)

add_executable(plan_fuzzer tests/fuzz/plan_fuzzer.cpp ${plan_sources})
target_include_directories(plan_fuzzer PRIVATE ${launcher_src})
target_compile_options(plan_fuzzer PRIVATE ${warnings})
target_compile_options(plan_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined
    -fno-sanitize-recover=all)
target_link_options(plan_fuzzer PRIVATE -fsanitize=fuzzer,address,undefined)

set(FUZZ_SECONDS 30 CACHE STRING "How long the fuzz test runs")
add_test(NAME plan_fuzzer
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
        $<TARGET_FILE:plan_fuzzer> -max_total_time=${FUZZ_SECONDS}
        -max_len=4096 -print_final_stats=1)
set_tests_properties(plan_fuzzer PROPERTIES TIMEOUT 300)

# The scripts that ship beside the launcher need no compiler.
add_test(NAME sample_firstrun
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/test_firstrun.py -v)
