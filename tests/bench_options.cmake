# Checks lumeth-bench's command line: bad options are refused with a message on standard
# error and exit status 2 before anything is measured (a missing value, an option given twice
# included); -h and --help print the usage and exit 0. Then the CPU level and the division it
# is told to use by LUMETH_CPU_LEVEL and LUMETH_CPU_DIVISION.
#   cmake -DBENCH=<path to lumeth-bench> -DLOWEST_LEVEL=<the build's lowest CPU level>
#         [-DEMULATOR=<runner, e.g. wine>] -P bench_options.cmake
if(NOT BENCH OR NOT LOWEST_LEVEL)
    message(FATAL_ERROR "pass -DBENCH=<path to lumeth-bench> -DLOWEST_LEVEL=<level>")
endif()
unset(ENV{LUMETH_CPU_LEVEL})
unset(ENV{LUMETH_CPU_DIVISION})

# run_bench(<expected status> <regex on stdout+stderr> <arguments...>)
function(run_bench expected pattern)
    execute_process(COMMAND ${EMULATOR} ${BENCH} ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out
                    ERROR_VARIABLE err TIMEOUT 60)
    if(NOT status STREQUAL "${expected}")
        message(FATAL_ERROR "lumeth-bench ${ARGN}: exit status ${status}, expected "
                            "${expected}\nstdout: ${out}\nstderr: ${err}")
    endif()
    if(expected STREQUAL "2")
        set(text "${err}")
        if(NOT out STREQUAL "")
            message(FATAL_ERROR "lumeth-bench ${ARGN}: printed on stdout: ${out}")
        endif()
    else()
        set(text "${out}")
    endif()
    if(NOT text MATCHES "${pattern}")
        message(FATAL_ERROR "lumeth-bench ${ARGN}: output does not match '${pattern}'\n"
                            "stdout: ${out}\nstderr: ${err}")
    endif()
endfunction()

run_bench(0 "Usage: lumeth-bench.*--count N.*--repeat R.*--sweep" --help)
run_bench(0 "Usage: lumeth-bench.*-h, --help" -h)
# The table's words are explained: floors, the yardstick, the backend of the step functions and
# the bottom line.
run_bench(0 "baseline is .*floor is .*yardstick.*Mpairs/s:[ \n].*'program'.*The last line: " --help)
run_bench(2 "unknown option '--bogus'" --bogus)
run_bench(2 "unknown option 'extra'" extra)
run_bench(2 "--count needs a value\r?\n$" --count)
run_bench(2 "--count needs a value" --count --sweep)
run_bench(2 "--repeat needs a value" --repeat --count 5)
run_bench(2 "--count needs a whole number.*'0'" --count 0)
run_bench(2 "--count needs a whole number.*'12x'" --count 12x)
run_bench(2 "--count needs a whole number.*'-5'" --count=-5)
run_bench(2 "--count needs a whole number.*'99999999999'" --count 99999999999)
run_bench(2 "--repeat needs a whole number.*'0'" --repeat 0)
run_bench(2 "--repeat needs a whole number.*''" --repeat=)
run_bench(2 "--count and --sweep cannot be combined" --sweep --count 1000)
run_bench(2 "unknown option '--sweep=1'" --sweep=1)
run_bench(2 "--count given twice" --count 5 --count 6)
run_bench(2 "--count given twice" --count=5 --count=5)
run_bench(2 "--repeat given twice" --repeat 2 --count 5 --repeat 3)
run_bench(2 "--sweep given twice" --sweep --sweep)

# LUMETH_CPU_LEVEL picks the CPU path's instruction-set level and LUMETH_CPU_DIVISION its
# division, and the header names both; the run's exit status includes the bit-for-bit check.
# A level the build lacks, an unknown division and the fma division at a level without FMA
# are refused on standard error, and the CPU path chooses for itself instead.
function(run_bench_with level division stdout_pattern stderr_pattern)
    set(ENV{LUMETH_CPU_LEVEL} "${level}")
    set(ENV{LUMETH_CPU_DIVISION} "${division}")
    execute_process(COMMAND ${EMULATOR} ${BENCH} --count 2003 --repeat 1 RESULT_VARIABLE status
                    OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 120)
    unset(ENV{LUMETH_CPU_LEVEL})
    unset(ENV{LUMETH_CPU_DIVISION})
    set(what "LUMETH_CPU_LEVEL=${level} LUMETH_CPU_DIVISION=${division} lumeth-bench")
    if(NOT status STREQUAL "0" OR NOT out MATCHES "${stdout_pattern}" OR
       NOT err MATCHES "${stderr_pattern}")
        message(FATAL_ERROR "${what}: exit status ${status}, expected 0, stdout matching "
                            "'${stdout_pattern}', stderr matching '${stderr_pattern}'\n"
                            "stdout: ${out}\nstderr: ${err}")
    endif()
    if(err MATCHES "refused" AND NOT stderr_pattern MATCHES "refused")
        message(FATAL_ERROR "${what} refused: ${err}")
    endif()
endfunction()

run_bench_with("${LOWEST_LEVEL}" "" "CPU path: [0-9]+ threads, ${LOWEST_LEVEL}, SIMD width" "")
run_bench_with(bogus "" "CPU path: [0-9]+ threads, [a-z0-9-]+, SIMD width"
               "LUMETH_CPU_LEVEL=bogus refused: not a level of this build \\(${LOWEST_LEVEL}")
# A level with one division (armv8-a, x86-64) says so instead of naming the variable.
run_bench_with("" hardware
               "doubles, hardware division \\((asked for by LUMETH_CPU_DIVISION|no fma division at this level)\\).*\ncompute_forces +cpu +2003 [^\n]*hardware division in all 2 passes"
               "")
run_bench_with("" bogus
               "doubles, ((hardware|fma) division(, chosen by timing as the program chooses| \\(no fma division at this level\\))|undecided division: a force pass over)"
               "LUMETH_CPU_DIVISION=bogus refused: not a division of this build")
if(LOWEST_LEVEL STREQUAL "x86-64")
    run_bench_with(x86-64 fma "x86-64, SIMD width 2 doubles, hardware division \\(no fma"
                   "LUMETH_CPU_DIVISION=fma refused: the x86-64 level has no fma division")
endif()
# The fma division where the best level has it: then the table has a row for each division.
execute_process(COMMAND ${EMULATOR} ${BENCH} --count 2003 --repeat 1 OUTPUT_VARIABLE out
                ERROR_QUIET TIMEOUT 120)
if(out MATCHES "cpu: fma division")
    run_bench_with("" fma "doubles, fma division \\(asked for by LUMETH_CPU_DIVISION\\).*\ncompute_forces +cpu +2003 [^\n]*fma division in all 2 passes" "")
endif()
