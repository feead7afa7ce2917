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
