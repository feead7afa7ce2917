# Tests of the step driver (src/gpu): the driver on the CPU path and against a fake device,
# the kernels and the driver on a real GPU (skipped, visibly, without one), and the symbols
# the built executables must carry.

lumeth_gtest(test_step_driver
    SOURCES test_step_driver.cpp
    LIBS lumeth_gpu ${CMAKE_DL_LIBS}
    LABELS gpu-driver)

# Builds without SDL3; every test skips itself, saying why, where no CUDA device is usable.
lumeth_gtest(test_gpu_kernels
    SOURCES test_gpu_kernels.cpp
    LIBS lumeth_gpu lumeth_bench_compare
    LABELS gpu)

# --- Symbols the built executables must carry -------------------------------------------------
# Executables checked: the test binaries, the benchmark and the program itself, each where it
# is built (src/app and bench are added before tests/).
set(lumeth_symbol_checked test_step_driver test_gpu_kernels)
foreach(target lumeth-bench lumeth)
    if(TARGET ${target})
        list(APPEND lumeth_symbol_checked ${target})
    endif()
endforeach()

# NvOptimusEnablementCuda: a defined data symbol in the dynamic symbol table (`nm -D`), where
# the NVIDIA driver of a hybrid-graphics computer looks it up.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_NM)
    foreach(executable IN LISTS lumeth_symbol_checked)
        add_test(NAME symbols.exports_NvOptimusEnablementCuda.${executable}
            COMMAND sh -c [=[
                "$0" -D --defined-only "$1" | grep -Eq '^[0-9a-fA-F]+ [BDGRS] NvOptimusEnablementCuda$' && exit 0
                echo "NvOptimusEnablementCuda is not a data symbol in the dynamic symbol table of $1"
                exit 1
            ]=] ${CMAKE_NM} $<TARGET_FILE:${executable}>)
        set_tests_properties(symbols.exports_NvOptimusEnablementCuda.${executable}
            PROPERTIES LABELS gpu-driver)
    endforeach()
endif()

# The Python checks run on the build machine: they name the interpreter by its path, as CMake
# runs an executable target (Python3::Interpreter) through the cross-build's emulator, where
# wine would not run it and the check would pass unrun.

# On Windows: NvOptimusEnablementCuda in each executable's export table, holding 1, read from
# the files' PE headers (one test: each start of Python takes a while).
if(WIN32)
    find_package(Python3 COMPONENTS Interpreter)
    if(Python3_Interpreter_FOUND)
        set(lumeth_checked_files)
        foreach(executable IN LISTS lumeth_symbol_checked)
            list(APPEND lumeth_checked_files $<TARGET_FILE:${executable}>)
        endforeach()
        add_test(NAME symbols.exports_NvOptimusEnablementCuda
            COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/pe_export.py
                    NvOptimusEnablementCuda 1 ${lumeth_checked_files})
        set_tests_properties(symbols.exports_NvOptimusEnablementCuda PROPERTIES
            LABELS gpu-driver)
    endif()
endif()

# The architectures the device code must carry: the default image set written out here on its
# own (machine code for 7.5, 8.0, 8.6, 9.0, 10.0 and 12.0, PTX for 8.6 and for an architecture
# at least as new as every machine code: "newest"), else the build's CMAKE_CUDA_ARCHITECTURES.
if(LUMETH_CUDA_DEFAULT_IMAGES)
    set(lumeth_expected_architectures 75-real 80-real 86 90-real 100-real 120-real newest-virtual)
else()
    set(lumeth_expected_architectures ${CMAKE_CUDA_ARCHITECTURES})
endif()

# Both kernels in the CUDA build, under their mangled device names: with cuobjdump, as global
# functions of the device code; without it, as code sections of the embedded device image
# (.nv_fatbin) and as the names the start-up registration hands to the runtime (.rodata).
if(LUMETH_HAVE_CUDA AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
    file(GLOB lumeth_pip_cuobjdump_dirs "${PROJECT_SOURCE_DIR}/.deps/cuobjdump/nvidia/*/bin")
    find_program(LUMETH_CUOBJDUMP cuobjdump
                 HINTS "${CUDAToolkit_BIN_DIR}" /usr/local/cuda/bin ${lumeth_pip_cuobjdump_dirs})
    set(lumeth_kernel_names
        _Z21compute_forces_kernelP8Particleiddd _Z16integrate_kernelP8Particleid)
    foreach(executable IN LISTS lumeth_symbol_checked)
        if(executable STREQUAL "test_step_driver")
            continue()  # one test binary is enough
        endif()
        set(name symbols.carries_both_kernels.${executable})
        if(LUMETH_CUOBJDUMP)
            add_test(NAME ${name}
                COMMAND sh -c [=[
                    tool=$0 exe=$1; shift
                    listing=$("$tool" -symbols "$exe") || { echo "cuobjdump failed on $exe"; exit 1; }
                    for kernel in "$@"; do
                        printf '%s\n' "$listing" | grep -Eq "(STT_)?FUNC.*[[:space:]]$kernel[[:space:]]*$" ||
                            { echo "no device function $kernel in $exe"; exit 1; }
                    done
                ]=] ${LUMETH_CUOBJDUMP} $<TARGET_FILE:${executable}> ${lumeth_kernel_names})
        elseif(CMAKE_OBJCOPY)
            add_test(NAME ${name}
                COMMAND sh -c [=[
                    tool=$0 exe=$1; shift
                    dir=$(mktemp -d) || exit 1
                    trap 'rm -rf "$dir"' EXIT
                    "$tool" -O binary --only-section=.nv_fatbin "$exe" "$dir/fatbin" &&
                        "$tool" -O binary --only-section=.rodata "$exe" "$dir/rodata" || exit 1
                    for kernel in "$@"; do
                        grep -aq ".text.$kernel" "$dir/fatbin" ||
                            { echo "no device code for $kernel in $exe"; exit 1; }
                        grep -aq "$kernel" "$dir/rodata" ||
                            { echo "$kernel is not registered in $exe"; exit 1; }
                    done
                ]=] ${CMAKE_OBJCOPY} $<TARGET_FILE:${executable}> ${lumeth_kernel_names})
        endif()
        if(TEST ${name})
            set_tests_properties(${name} PROPERTIES LABELS gpu-driver)
        endif()
        # Machine code for every real architecture expected, PTX for every virtual one.
        if(LUMETH_CUOBJDUMP)
            set(elf_archs "")
            set(ptx_archs "")
            foreach(arch IN LISTS lumeth_expected_architectures)
                string(REGEX MATCH "^([0-9]+|newest)" number "${arch}")
                if(NOT arch MATCHES "-virtual$")
                    list(APPEND elf_archs "sm_${number}")
                endif()
                if(NOT arch MATCHES "-real$")
                    list(APPEND ptx_archs "sm_${number}")
                endif()
            endforeach()
            add_test(NAME symbols.device_code_for_every_architecture.${executable}
                COMMAND sh -c [=[
                    tool=$0 exe=$1 elf=$2 ptx=$3
                    elves=$("$tool" --list-elf "$exe") && ptxs=$("$tool" --list-ptx "$exe") ||
                        { echo "cuobjdump failed on $exe"; exit 1; }
                    for arch in $(echo "$elf" | tr ';' ' '); do
                        printf '%s
' "$elves" | grep -q "\.$arch\.cubin$" ||
                            { echo "no $arch machine code in $exe:"; echo "$elves"; exit 1; }
                    done
                    highest() { sed -n "s/.*\.sm_\([0-9]*\)\.$1$/\1/p" | sort -n | tail -n1; }
                    for arch in $(echo "$ptx" | tr ';' ' '); do
                        if [ "$arch" = sm_newest ]; then
                            newest=$(printf '%s
' "$ptxs" | highest ptx)
                            [ "${newest:-0}" -ge "$(printf '%s
' "$elves" | highest cubin)" ] && continue
                        fi
                        printf '%s
' "$ptxs" | grep -q "\.$arch\.ptx$" ||
                            { echo "no PTX for $arch in $exe:"; echo "$ptxs"; exit 1; }
                    done
                ]=] ${LUMETH_CUOBJDUMP} $<TARGET_FILE:${executable}> "${elf_archs}" "${ptx_archs}")
            set_tests_properties(symbols.device_code_for_every_architecture.${executable}
                PROPERTIES LABELS gpu-driver)
        endif()
    endforeach()
endif()

# The first driver branch named for each CUDA release the kernels may be built with.
add_test(NAME driver_api.first_driver_branch_of_each_cuda_release
    COMMAND ${CMAKE_COMMAND} -P ${CMAKE_CURRENT_SOURCE_DIR}/first_driver_branch.cmake)
set_tests_properties(driver_api.first_driver_branch_of_each_cuda_release PROPERTIES
    LABELS gpu-driver)

# The rule that finds the CUDA compiler for the set-up and for CMake (cmake/cuda_compiler.cmake):
# two compilers on one machine, a CUDACXX that names no program, a compiler too old, a stale
# fetched tree, an interrupted fetch and two set-ups at once, with stand-in compilers and pip.
if(CMAKE_HOST_SYSTEM_NAME STREQUAL "Linux" AND NOT WIN32)
    add_test(NAME cuda_compiler.rule_for_the_set_up_and_cmake
        COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/cuda_compiler_rule.sh ${PROJECT_SOURCE_DIR})
    set_tests_properties(cuda_compiler.rule_for_the_set_up_and_cmake PROPERTIES
        LABELS gpu-driver SKIP_REGULAR_EXPRESSION "^SKIP: ")
endif()

# --- The driver API path on a stand-in driver library -------------------------------------------
# The stand-in (cuda_driver_stand_in.cpp) is built as the driver library's own file name into
# a folder of its own: libcuda.so.1 on Linux, found through LD_LIBRARY_PATH by the tests that
# set it; nvcuda.dll on Windows, found beside the test programs that live in that folder (with
# copies of the runtime DLLs), so that no other program of the build finds it. Every test's
# name contains "driver_api".
if(LUMETH_HAVE_DRIVER_API)
    set(lumeth_stand_in_dir ${CMAKE_CURRENT_BINARY_DIR}/driver-stand-in)
    add_library(cuda_driver_stand_in SHARED cuda_driver_stand_in.cpp)
    target_include_directories(cuda_driver_stand_in PRIVATE ${PROJECT_SOURCE_DIR}/src)
    if(MINGW)
        # The correctly rounded fma() the kernels library brings on MinGW-w64 (exact_fma.cpp).
        target_sources(cuda_driver_stand_in PRIVATE ${PROJECT_SOURCE_DIR}/src/kernels/exact_fma.cpp)
        set_target_properties(cuda_driver_stand_in PROPERTIES PREFIX "" OUTPUT_NAME nvcuda)
    else()
        set_target_properties(cuda_driver_stand_in PROPERTIES PREFIX lib OUTPUT_NAME cuda
                                                              SUFFIX .so.1)
    endif()
    set_target_properties(cuda_driver_stand_in PROPERTIES
        CXX_VISIBILITY_PRESET hidden
        LIBRARY_OUTPUT_DIRECTORY ${lumeth_stand_in_dir}
        RUNTIME_OUTPUT_DIRECTORY ${lumeth_stand_in_dir})

    set(lumeth_stand_in_environment "")
    if(NOT WIN32)
        set(lumeth_stand_in_environment "LD_LIBRARY_PATH=${lumeth_stand_in_dir}")
    endif()
    lumeth_gtest(test_driver_api
        SOURCES test_driver_api.cpp
        LIBS lumeth_gpu lumeth_bench_compare ${CMAKE_DL_LIBS}
        LABELS gpu-driver
        TEST_PREFIX driver_api.
        ENVIRONMENT ${lumeth_stand_in_environment})
    add_dependencies(test_driver_api cuda_driver_stand_in)

    # One frame of the real program's steps (lumeth-gpu-frame) through the driver API path on
    # the stand-in: both steps on the "GPU", results identical to the CPU path's.
    set(lumeth_stand_in_frame $<TARGET_FILE:lumeth-gpu-frame>)
    if(WIN32)
        set_target_properties(test_driver_api PROPERTIES
            RUNTIME_OUTPUT_DIRECTORY ${lumeth_stand_in_dir})
        set(lumeth_stand_in_frame ${lumeth_stand_in_dir}/$<TARGET_FILE_NAME:lumeth-gpu-frame>)
        add_custom_target(lumeth_stand_in_programs ALL
            COMMAND ${CMAKE_COMMAND} -E copy_if_different ${LUMETH_RUNTIME_DLLS}
                    $<TARGET_FILE:lumeth-gpu-frame> ${lumeth_stand_in_dir}
            DEPENDS lumeth-gpu-frame
            COMMENT "Copying lumeth-gpu-frame and the runtime DLLs beside the stand-in driver"
            VERBATIM)
    endif()
    add_test(NAME driver_api.gpu_frame_on_the_stand_in
             COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${lumeth_stand_in_frame})
    set_tests_properties(driver_api.gpu_frame_on_the_stand_in PROPERTIES
        LABELS gpu-driver
        ENVIRONMENT "LUMETH_GPU_API=driver;${lumeth_stand_in_environment}"
        PASS_REGULAR_EXPRESSION "step_forces: +GPU, identical.*step_integrate: GPU, identical")

    # Without a driver library the note names the case and the CPU runs: the driver API tests'
    # no_driver_library cases, which point the table at a library that exists nowhere, so that
    # they hold on a machine with a driver too.

    # The kernels' image as the build writes it into a C++ source: sixteen bytes a line, not
    # one line of the whole image.
    add_test(NAME driver_api.embedded_image_source_has_sixteen_bytes_a_line
        COMMAND ${CMAKE_COMMAND} -DSOURCE=${PROJECT_BINARY_DIR}/src/kernels/kernels_image.cpp
                -P ${CMAKE_CURRENT_SOURCE_DIR}/embedded_image_lines.cmake)
    set_tests_properties(driver_api.embedded_image_source_has_sixteen_bytes_a_line PROPERTIES
        LABELS gpu-driver)

    # A value of LUMETH_GPU_API that names no table of the build is refused, in one line.
    add_test(NAME driver_api.unknown_gpu_api_is_refused
             COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:lumeth-gpu-frame>)
    set_tests_properties(driver_api.unknown_gpu_api_is_refused PROPERTIES
        LABELS gpu-driver
        ENVIRONMENT "LUMETH_GPU_API=opencl"
        PASS_REGULAR_EXPRESSION
        "lumeth: LUMETH_GPU_API=opencl names no GPU path of this build \\(it has: [a-z, ]+\\); using [a-z]+\n")

    # The image each program carries: both kernels, every architecture's machine code and
    # PTX (cuobjdump on the image taken out of the executable).
    file(GLOB lumeth_cuobjdump_dirs "${PROJECT_SOURCE_DIR}/.deps/cuobjdump/nvidia/*/bin")
    find_program(LUMETH_IMAGE_CUOBJDUMP cuobjdump
                 HINTS "${CUDAToolkit_BIN_DIR}" /usr/local/cuda/bin ${lumeth_cuobjdump_dirs})
    find_package(Python3 COMPONENTS Interpreter)
    set(lumeth_image_checked)
    foreach(executable IN LISTS lumeth_symbol_checked)
        list(APPEND lumeth_image_checked $<TARGET_FILE:${executable}>)
    endforeach()
    if(LUMETH_IMAGE_CUOBJDUMP AND Python3_Interpreter_FOUND)
        string(REPLACE ";" "," architectures "${lumeth_expected_architectures}")
        # NVRTC's images, written out here on their own: cubins for Pascal (6.0, also run by
        # 6.1) to Blackwell and PTX for 6.0.
        set(nvrtc_images none)
        if(LUMETH_HAVE_NVRTC_IMAGES)
            set(nvrtc_images sm_60,sm_70,sm_75,sm_80,sm_86,sm_90,sm_100,sm_120,compute_60)
        endif()
        # The interpreter by its path: CTest runs an executable target, imported ones too,
        # through a cross build's emulator.
        add_test(NAME driver_api.programs_carry_the_kernels_image
            COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/kernels_image.py
                    ${LUMETH_IMAGE_CUOBJDUMP} ${architectures}
                    _Z21compute_forces_kernelP8Particleiddd,_Z16integrate_kernelP8Particleid
                    --nvrtc ${nvrtc_images} ${lumeth_image_checked})
        set_tests_properties(driver_api.programs_carry_the_kernels_image PROPERTIES
            LABELS gpu-driver)
        # The benchmark's FP64 instructions per pair, by cubin, recounted in its own image.
        if(TARGET lumeth-bench)
            add_test(NAME driver_api.benchmark_counts_the_pair_loop_of_every_cubin
                COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/pair_loop_fp64.py
                        ${LUMETH_IMAGE_CUOBJDUMP} ${PROJECT_SOURCE_DIR}/bench/gpu_rows.cpp
                        _Z21compute_forces_kernelP8Particleiddd $<TARGET_FILE:lumeth-bench>)
            set_tests_properties(driver_api.benchmark_counts_the_pair_loop_of_every_cubin
                PROPERTIES LABELS "gpu-driver;bench" SKIP_REGULAR_EXPRESSION "^SKIP: ")
        endif()
    else()
        message(STATUS "cuobjdump or Python 3 not found: the kernels image is not checked "
                       "(scripts/install-deps.sh provides cuobjdump)")
    endif()

    # The Windows programs load no CUDA library at start: they start without a driver.
    if(WIN32 AND Python3_Interpreter_FOUND)
        add_test(NAME driver_api.programs_import_no_cuda_library
            COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/pe_imports.py
                    ${lumeth_image_checked})
        set_tests_properties(driver_api.programs_import_no_cuda_library PROPERTIES
            LABELS gpu-driver)
    endif()
endif()
