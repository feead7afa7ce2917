# Which CUDA compiler the build uses, and the NVIDIA driver branch its code needs.
#
# The compiler: the CUDA toolkit's nvcc (CMAKE_CUDA_COMPILER or $CUDACXX when given, else nvcc
# on the PATH or in /usr/local/cuda/bin); without a toolkit, the one that scripts/install-deps.sh
# fetched as NVIDIA's PyPI packages into .deps/cuda-<version> (the version pinned in
# scripts/cuda-compiler-requirements.txt).

file(STRINGS "${PROJECT_SOURCE_DIR}/scripts/cuda-compiler-requirements.txt" lumeth_nvcc_pin
     REGEX "^nvidia-cuda-nvcc==[0-9]+\\.[0-9]+\\.")
string(REGEX REPLACE "^nvidia-cuda-nvcc==([0-9]+\\.[0-9]+)\\..*" "\\1" LUMETH_FETCHED_CUDA_VERSION
       "${lumeth_nvcc_pin}")
set(LUMETH_FETCHED_CUDA_TREE "${PROJECT_SOURCE_DIR}/.deps/cuda-${LUMETH_FETCHED_CUDA_VERSION}")

# lumeth_find_cuda_compiler(<nvcc variable> <origin variable>): the compiler's path (empty when
# there is none) and where it comes from, in the words of the configure line.
function(lumeth_find_cuda_compiler nvcc_variable origin_variable)
    set(nvcc "")
    if(CMAKE_CUDA_COMPILER)
        set(nvcc "${CMAKE_CUDA_COMPILER}")
    elseif(DEFINED ENV{CUDACXX} AND NOT "$ENV{CUDACXX}" STREQUAL "")
        set(nvcc "$ENV{CUDACXX}")
    else()
        find_program(LUMETH_TOOLKIT_NVCC nvcc HINTS /usr/local/cuda/bin NO_CACHE)
        if(LUMETH_TOOLKIT_NVCC)
            set(nvcc "${LUMETH_TOOLKIT_NVCC}")
        elseif(EXISTS "${LUMETH_FETCHED_CUDA_TREE}/bin/nvcc")
            set(nvcc "${LUMETH_FETCHED_CUDA_TREE}/bin/nvcc")
        endif()
    endif()
    set(origin "")
    if(nvcc)
        string(FIND "${nvcc}" "${LUMETH_FETCHED_CUDA_TREE}/" at)
        if(at EQUAL 0)
            set(origin "NVIDIA's packages that scripts/install-deps.sh fetched")
        else()
            set(origin "the CUDA toolkit")
        endif()
    endif()
    set(${nvcc_variable} "${nvcc}" PARENT_SCOPE)
    set(${origin_variable} "${origin}" PARENT_SCOPE)
endfunction()

# lumeth_first_driver_branch(<major.minor> <variable>): the first NVIDIA driver branch that runs
# all code of that CUDA release (its machine code and its PTX), 0 for a release the table does
# not know (the notes then name the CUDA version instead of a branch).
function(lumeth_first_driver_branch release variable)
    set(branch 0)
    foreach(entry 12.0:525 12.1:530 12.2:535 12.3:545 12.4:550 12.5:555 12.6:560 12.8:570
                  12.9:575 13.0:580)
        string(REPLACE ":" ";" entry "${entry}")
        list(GET entry 0 known)
        if(known STREQUAL release)
            list(GET entry 1 branch)
        endif()
    endforeach()
    set(${variable} ${branch} PARENT_SCOPE)
endfunction()
