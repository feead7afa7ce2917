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
            COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/pe_export.py
                    NvOptimusEnablementCuda 1 ${lumeth_checked_files})
        set_tests_properties(symbols.exports_NvOptimusEnablementCuda PROPERTIES
            LABELS gpu-driver)
    endif()
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
        # Machine code for every real architecture of the build, PTX for every virtual one
        # (the default: sm_86 and sm_90 machine code, compute_86 PTX).
        if(LUMETH_CUOBJDUMP)
            set(elf_archs "")
            set(ptx_archs "")
            foreach(arch IN LISTS CMAKE_CUDA_ARCHITECTURES)
                string(REGEX MATCH "^[0-9]+" number "${arch}")
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
                    for arch in $(echo "$ptx" | tr ';' ' '); do
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
