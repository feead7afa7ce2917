# The GPUs the device code is built for, in one place for every build that compiles the kernels
# (the CUDA runtime path's registered kernels and the driver API path's fat binary, on every
# platform).
#
# Machine code for compute capability 7.5 (Turing), 8.0 (A100, A30), 8.6 (Ampere GeForce; also
# runs on 8.7 and 8.9), 9.0 (Hopper), 10.0 (Blackwell data centre) and 12.0 (Blackwell GeForce;
# also runs on 12.1): a cubin runs on its own compute capability and the later minor versions of
# its major version. PTX for 8.6, and PTX for the newest architecture the compiler knows, which
# the driver of a later GPU compiles when the program loads it.
set(LUMETH_CUDA_MACHINE_CODE 75 80 86 90 100 120)
set(LUMETH_CUDA_PTX 86)

# lumeth_cuda_image_set(<nvcc> <variable>): the image set above as CMAKE_CUDA_ARCHITECTURES
# entries (N: machine code and PTX, N-real: machine code, N-virtual: PTX) for that compiler;
# the newest PTX is the highest compute_N that `nvcc --list-gpu-arch` names.
function(lumeth_cuda_image_set nvcc variable)
    execute_process(COMMAND ${nvcc} --list-gpu-arch OUTPUT_VARIABLE listed
                    RESULT_VARIABLE status ERROR_QUIET)
    set(newest 0)
    if(status EQUAL 0)
        string(REGEX MATCHALL "compute_[0-9]+\n" virtuals "${listed}\n")
        foreach(virtual IN LISTS virtuals)
            string(REGEX MATCH "[0-9]+" number "${virtual}")
            if(number GREATER newest)
                set(newest ${number})
            endif()
        endforeach()
    endif()
    set(ptx ${LUMETH_CUDA_PTX})
    if(newest GREATER 0 AND NOT newest IN_LIST ptx)
        list(APPEND ptx ${newest})
    endif()
    set(entries "")
    foreach(number IN LISTS LUMETH_CUDA_MACHINE_CODE)
        if(number IN_LIST ptx)
            list(APPEND entries ${number})
        else()
            list(APPEND entries ${number}-real)
        endif()
    endforeach()
    foreach(number IN LISTS ptx)
        if(NOT number IN_LIST LUMETH_CUDA_MACHINE_CODE)
            list(APPEND entries ${number}-virtual)
        endif()
    endforeach()
    set(${variable} ${entries} PARENT_SCOPE)
endfunction()

# The driver API path's second image set, compiled at build time by NVRTC 12.9 (fetched by
# scripts/install-deps.sh, pinned in scripts/nvrtc-requirements.txt) from the same source with
# the same arithmetic rules: CUDA 12 code, which drivers from R525 on run (the PTX from R575).
# Cubins for 6.0 (P100; also runs on the GeForce Pascal 6.1 and 6.2), 7.0 (V100), 7.5, 8.0, 8.6,
# 9.0, 10.0 and 12.0; PTX for 6.0, which the driver compiles for any later GPU.
set(LUMETH_NVRTC_MACHINE_CODE 60 70 75 80 86 90 100 120)
set(LUMETH_NVRTC_PTX 60)
set(LUMETH_NVRTC_REQUIREMENTS ${CMAKE_CURRENT_LIST_DIR}/../scripts/nvrtc-requirements.txt)

# lumeth_find_nvrtc(<prefix>): the NVRTC tree the set-up fetched, in <prefix>_ROOT (with
# include/nvrtc.h and lib/libnvrtc.so.<major>), its CUDA version in <prefix>_CUDA_VERSION
# (1000 * major + 10 * minor) and <prefix>_RELEASE (major.minor); <prefix>_ROOT is empty, with
# the reason in <prefix>_MISSING, when there is none or it was fetched from other pins.
function(lumeth_find_nvrtc prefix)
    file(STRINGS ${LUMETH_NVRTC_REQUIREMENTS} pin REGEX "^nvidia-cuda-nvrtc")
    string(REGEX MATCH "==([0-9]+)\\.([0-9]+)\\." matched "${pin}")
    set(major ${CMAKE_MATCH_1})
    set(release ${CMAKE_MATCH_1}.${CMAKE_MATCH_2})
    math(EXPR version "${CMAKE_MATCH_1} * 1000 + ${CMAKE_MATCH_2} * 10")
    get_filename_component(root ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../.deps/nvrtc-${release}
                           ABSOLUTE)
    set(missing "")
    if(NOT EXISTS ${root}/lib/libnvrtc.so.${major} OR NOT EXISTS ${root}/include/nvrtc.h)
        set(missing "no NVRTC ${release} in ${root}: run scripts/install-deps.sh")
    else()
        file(READ ${LUMETH_NVRTC_REQUIREMENTS} wanted)
        set(stamp "")
        if(EXISTS ${root}/fetched-from-requirements.txt)
            file(READ ${root}/fetched-from-requirements.txt stamp)
        endif()
        if(NOT stamp STREQUAL wanted)
            set(missing "${root} was fetched from other pins: run scripts/install-deps.sh")
        endif()
    endif()
    if(missing)
        set(root "")
    endif()
    set(${prefix}_ROOT "${root}" PARENT_SCOPE)
    set(${prefix}_MISSING "${missing}" PARENT_SCOPE)
    set(${prefix}_CUDA_VERSION ${version} PARENT_SCOPE)
    set(${prefix}_RELEASE ${release} PARENT_SCOPE)
    set(${prefix}_LIBRARY ${root}/lib/libnvrtc.so.${major} PARENT_SCOPE)
endfunction()
