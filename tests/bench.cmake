# lumeth-bench in CI: a smoke run at a small count (its exit status includes the bit-for-bit
# checks of every backend against the baseline; no time is asserted), its command line, and
# the rules it compares results by. 2003 particles leave a remainder for the SIMD blocks.
add_test(NAME bench.smoke COMMAND lumeth-bench --count 2003 --repeat 2)
list(GET LUMETH_CPU_LEVEL_NAMES 0 lowest_level)
add_test(NAME bench.options
         COMMAND ${CMAKE_COMMAND} -DBENCH=$<TARGET_FILE:lumeth-bench>
                 -DLOWEST_LEVEL=${lowest_level}
                 "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/bench_options.cmake)
set_tests_properties(bench.smoke bench.options PROPERTIES LABELS bench)

lumeth_gtest(test_bench_compare
    SOURCES test_bench_compare.cpp
    LIBS lumeth_bench_compare lumeth_kernels
    LABELS bench)
