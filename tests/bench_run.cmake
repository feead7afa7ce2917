# Runs lumeth-bench once and checks what every run must give: exit status 0 (which includes the
# bit-for-bit checks of every backend against the baseline; no time is asserted), the rows
# named, and the motion backup's rows only where a step ran on the GPU.
#   cmake -DBENCH=<path to lumeth-bench> [-DEMULATOR=<runner, e.g. wine>] "-DARGS=<arguments>"
#         ["-DENVIRONMENT=NAME=VALUE;..."] "-DROWS=<regex>;..." -P bench_run.cmake
if(NOT BENCH)
    message(FATAL_ERROR "pass -DBENCH=<path to lumeth-bench>")
endif()
# The lists arrive with their separators escaped, as add_test passes them.
string(REPLACE "\\;" ";" ENVIRONMENT "${ENVIRONMENT}")
string(REPLACE "\\;" ";" ROWS "${ROWS}")
foreach(setting IN LISTS ENVIRONMENT)
    string(FIND "${setting}" "=" equals)
    string(SUBSTRING "${setting}" 0 ${equals} name)
    math(EXPR start "${equals} + 1")
    string(SUBSTRING "${setting}" ${start} -1 value)
    set(ENV{${name}} "${value}")
endforeach()
execute_process(COMMAND ${EMULATOR} ${BENCH} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err TIMEOUT 300)
set(what "lumeth-bench ${ARGS} (${ENVIRONMENT})")
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${what}: exit status ${status}, expected 0\nstdout: ${out}\nstderr: ${err}")
endif()
# Every run: the step functions' rows and the frame rate at the end.
list(APPEND ROWS "\nstep_forces +program: [^\n]*identical" "\nstep_integrate +program: [^\n]*identical"
     "\n\nframe rate( without drawing)?: [0-9.]+ FPS at [0-9]+ particles, program: [^\n]+\n$")
foreach(row IN LISTS ROWS)
    if(NOT out MATCHES "${row}")
        message(FATAL_ERROR "${what}: no row matching '${row}'\nstdout: ${out}\nstderr: ${err}")
    endif()
endforeach()
# A floor is never shown beaten: one measured too briefly, or slower than its figure, is not
# compared, and a computed one that is beaten means its count of the work is wrong.
if(out MATCHES "[^0-9.]0\\.[0-9]+x its ([A-Za-z]+ )?floor")
    message(FATAL_ERROR "${what}: a figure shown below its own floor\nstdout: ${out}")
endif()
# Every figure is one the run measured, and every row names what ran: no infinite or NaN rate
# from a time too short to measure, no division left undecided in a timed row.
if(out MATCHES "(inf|nan) GB/s|[^a-z]undecided division \\(|, undecided division")
    message(FATAL_ERROR "${what}: an unmeasured figure or an undecided division\nstdout: ${out}")
endif()
# Figures taken under an emulator say so in the first line.
if(DEFINED ENV{LUMETH_BENCH_EMULATED} AND NOT "$ENV{LUMETH_BENCH_EMULATED}" STREQUAL "" AND
   NOT out MATCHES "^[^\n]*; EMULATED \\($ENV{LUMETH_BENCH_EMULATED}\\): ")
    message(FATAL_ERROR "${what}: LUMETH_BENCH_EMULATED is set, but the first line does not "
                        "say that the figures are emulated\nstdout: ${out}")
endif()
if(out MATCHES "\nstep_integrate +program: cpu" AND out MATCHES "motion backup|plain copy")
    message(FATAL_ERROR "${what}: the motion backup's rows without a GPU step\nstdout: ${out}")
endif()
