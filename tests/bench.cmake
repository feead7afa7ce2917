# lumeth-bench in CI: runs at a small count (2003 particles leave a remainder for the SIMD
# blocks), on the machine's own GPU path and, where the build has the driver API path, on the
# stand-in driver with its GPU rows; its command line; and the rules it compares results by.
set(lumeth_bench_run ${CMAKE_COMMAND} "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                     "-DARGS=--count\\;2003\\;--repeat\\;2")
# Where the build has lumeth-record's snapshots, their rows, each beside its floor.
set(lumeth_bench_rows "")
if(LUMETH_HAVE_RECORD)
    set(lumeth_bench_rows
        "-DROWS=\nsnapshot write +hdf5 +2003 [^\n]*x the fwrite\;\nsnapshot fwrite +stdio +2003\;\nsnapshot read +hdf5 +2003 [^\n]*x the fread\;\nsnapshot fread +stdio +2003")
endif()
add_test(NAME bench.smoke
         COMMAND ${lumeth_bench_run} -DBENCH=$<TARGET_FILE:lumeth-bench> ${lumeth_bench_rows}
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/bench_run.cmake)
list(GET LUMETH_CPU_LEVEL_NAMES 0 lowest_level)
add_test(NAME bench.options
         COMMAND ${CMAKE_COMMAND} -DBENCH=$<TARGET_FILE:lumeth-bench>
                 -DLOWEST_LEVEL=${lowest_level}
                 "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
                 -P ${CMAKE_CURRENT_SOURCE_DIR}/bench_options.cmake)
set_tests_properties(bench.smoke bench.options PROPERTIES LABELS bench)

# The GPU rows on the driver API path with the stand-in driver (gpu.cmake builds it): found
# through the library path on Linux, beside a copy of the benchmark (with the DLLs it loads) on
# Windows.
if(LUMETH_HAVE_DRIVER_API)
    set(lumeth_bench_on_stand_in $<TARGET_FILE:lumeth-bench>)
    set(lumeth_bench_environment "LUMETH_GPU_API=driver")
    if(WIN32)
        set(lumeth_bench_on_stand_in ${lumeth_stand_in_dir}/$<TARGET_FILE_NAME:lumeth-bench>)
        set(lumeth_bench_copies $<TARGET_FILE:lumeth-bench> ${LUMETH_RUNTIME_DLLS})
        if(LUMETH_HAVE_SDL3)
            list(APPEND lumeth_bench_copies $<TARGET_FILE:SDL3::SDL3>)
        endif()
        add_custom_target(lumeth_bench_beside_stand_in ALL
            COMMAND ${CMAKE_COMMAND} -E copy_if_different ${lumeth_bench_copies}
                    ${lumeth_stand_in_dir}
            DEPENDS lumeth-bench
            COMMENT "Copying lumeth-bench and the DLLs it loads beside the stand-in driver"
            VERBATIM)
        if(TARGET lumeth_stand_in_programs)
            add_dependencies(lumeth_bench_beside_stand_in lumeth_stand_in_programs)
        endif()
    else()
        list(APPEND lumeth_bench_environment "LD_LIBRARY_PATH=${lumeth_stand_in_dir}")
    endif()
    string(REPLACE ";" "\\;" lumeth_bench_environment "${lumeth_bench_environment}")
    set(gpu "gpu: Lumeth stand-in GPU +2003")
    set(rows
        "\nupload \\(pageable\\) +${gpu}[^\n]*(GB/s|too short a run for a bandwidth)"
        "\ncompute_forces kernel +${gpu}[^\n]*identical, [0-9.]+x its floor \\(FP64: 28 SMs[^\n]*, 134 a pair in sm_86 code\\)"
        "\ndownload \\(pageable\\) +${gpu}"
        "\nintegrate kernel +${gpu}[^\n]*identical"
        "\nupload \\(page-locked\\) +${gpu}"
        "\ndownload \\(page-locked\\) +${gpu}"
        "\nstep_forces +program: gpu "
        "\nstep_integrate +program: gpu "
        "\nmotion backup \\(host\\) +program: gpu "
        "\nframe rate[^\n]*program: gpu ")
    string(REPLACE ";" "\\;" rows "${rows}")
    add_test(NAME bench.gpu_rows_on_the_stand_in_driver
             COMMAND ${lumeth_bench_run} -DBENCH=${lumeth_bench_on_stand_in}
                     "-DENVIRONMENT=${lumeth_bench_environment}" "-DROWS=${rows}"
                     -P ${CMAKE_CURRENT_SOURCE_DIR}/bench_run.cmake)
    set_tests_properties(bench.gpu_rows_on_the_stand_in_driver PROPERTIES LABELS "bench;gpu-driver")
endif()

lumeth_gtest(test_bench_compare
    SOURCES test_bench_compare.cpp
    LIBS lumeth_bench_compare lumeth_kernels
    LABELS bench)
