# Which CUDA compiler the build uses, and the NVIDIA driver branch its code needs.
#
# The rule that finds the compiler is written here once, for CMake (include this file) and for
# the set-up scripts, which run it as a script:
#   cmake -P cmake/cuda_compiler.cmake
# prints three lines, "nvcc=<path>", "release=<major.minor>" and "origin=<where it came from>",
# or one line "refused=<why, and what to do>", or nothing when there is no compiler.
#
# The rule: $CUDACXX when set (it must name a program); else the first nvcc on the PATH; else
# /usr/local/cuda/bin/nvcc ($LUMETH_DEFAULT_CUDA_TOOLKIT replaces /usr/local/cuda); else the compiler that scripts/install-deps.sh fetched as NVIDIA's
# PyPI packages into .deps/cuda-<version> (the version pinned in
# scripts/cuda-compiler-requirements.txt), used only when its stamp matches the pins. The
# compiler must run and be CUDA 12.8 or newer, which builds the device code's image set
# (cmake/cuda_images.cmake); the fetched one must be the pinned release.

get_filename_component(lumeth_repository_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(LUMETH_CUDA_REQUIREMENTS "${lumeth_repository_root}/scripts/cuda-compiler-requirements.txt")
file(STRINGS "${LUMETH_CUDA_REQUIREMENTS}" lumeth_nvcc_pin
     REGEX "^nvidia-cuda-nvcc==[0-9]+\\.[0-9]+\\.")
string(REGEX REPLACE "^nvidia-cuda-nvcc==([0-9]+\\.[0-9]+)\\..*" "\\1" LUMETH_FETCHED_CUDA_VERSION
       "${lumeth_nvcc_pin}")
set(LUMETH_FETCHED_CUDA_TREE "${lumeth_repository_root}/.deps/cuda-${LUMETH_FETCHED_CUDA_VERSION}")
# Written last into a complete fetched tree: the requirements it was fetched from.
set(LUMETH_FETCHED_CUDA_STAMP "${LUMETH_FETCHED_CUDA_TREE}/fetched-from-requirements.txt")
# The CUDA toolkit's default folder: /usr/local/cuda, or $LUMETH_DEFAULT_CUDA_TOOLKIT.
if(NOT "$ENV{LUMETH_DEFAULT_CUDA_TOOLKIT}" STREQUAL "")
    set(LUMETH_DEFAULT_CUDA_TOOLKIT "$ENV{LUMETH_DEFAULT_CUDA_TOOLKIT}")
else()
    set(LUMETH_DEFAULT_CUDA_TOOLKIT /usr/local/cuda)
endif()
# The oldest CUDA release that builds the image set.
set(LUMETH_OLDEST_CUDA_RELEASE 12.8)

# lumeth_find_cuda_compiler(<prefix>): sets <prefix>_NVCC (the compiler's path, empty when there
# is none or it is refused), <prefix>_RELEASE (major.minor), <prefix>_ORIGIN (where it came
# from, in the words of the configure line) and <prefix>_REFUSED (why the compiler found cannot
# be used, and what to do; empty when it can).
function(lumeth_find_cuda_compiler prefix)
    set(nvcc "")
    set(origin "")
    set(refused "")
    set(tree "${LUMETH_FETCHED_CUDA_TREE}")
    if(DEFINED ENV{CUDACXX} AND NOT "$ENV{CUDACXX}" STREQUAL "")
        set(nvcc "$ENV{CUDACXX}")
        set(origin "\$CUDACXX")
        if(NOT EXISTS "${nvcc}" OR IS_DIRECTORY "${nvcc}")
            set(refused "CUDACXX=${nvcc} names no program: point it at nvcc, or unset it")
        endif()
    else()
        if(CMAKE_HOST_WIN32)
            set(separator ";")
            set(name nvcc.exe)
        else()
            set(separator ":")
            set(name nvcc)
        endif()
        string(REPLACE "${separator}" ";" folders "$ENV{PATH}")
        foreach(folder IN LISTS folders)
            if(NOT folder STREQUAL "" AND EXISTS "${folder}/${name}" AND
               NOT IS_DIRECTORY "${folder}/${name}")
                set(nvcc "${folder}/${name}")
                set(origin "the PATH")
                break()
            endif()
        endforeach()
        if(NOT nvcc AND EXISTS "${LUMETH_DEFAULT_CUDA_TOOLKIT}/bin/nvcc")
            set(nvcc "${LUMETH_DEFAULT_CUDA_TOOLKIT}/bin/nvcc")
            set(origin "the CUDA toolkit in ${LUMETH_DEFAULT_CUDA_TOOLKIT}")
        endif()
        if(NOT nvcc AND EXISTS "${tree}/bin/nvcc")
            set(nvcc "${tree}/bin/nvcc")
            set(origin "NVIDIA's packages that scripts/install-deps.sh fetched")
            set(stamp "")
            if(EXISTS "${LUMETH_FETCHED_CUDA_STAMP}")
                file(READ "${LUMETH_FETCHED_CUDA_STAMP}" stamp)
            endif()
            file(READ "${LUMETH_CUDA_REQUIREMENTS}" pins)
            if(NOT stamp STREQUAL pins)
                set(refused "${tree} was not fetched from today's pins: run scripts/install-deps.sh")
            endif()
        endif()
    endif()
    set(release "")
    if(nvcc AND NOT refused)
        execute_process(COMMAND "${nvcc}" --version OUTPUT_VARIABLE said ERROR_QUIET
                        RESULT_VARIABLE status)
        if(NOT status EQUAL 0 OR NOT said MATCHES "release ([0-9]+\\.[0-9]+)")
            set(refused "${nvcc} (from ${origin}) does not run as a CUDA compiler")
        else()
            set(release ${CMAKE_MATCH_1})
            if(release VERSION_LESS LUMETH_OLDEST_CUDA_RELEASE)
                string(CONCAT refused "${nvcc} (from ${origin}) is CUDA ${release}, which cannot "
                    "build the device code for GPUs up to compute capability 12.0: install CUDA "
                    "${LUMETH_OLDEST_CUDA_RELEASE} or newer, or point CUDACXX at one")
            elseif(nvcc STREQUAL "${tree}/bin/nvcc" AND
                   NOT release VERSION_EQUAL LUMETH_FETCHED_CUDA_VERSION)
                set(refused "${tree} holds CUDA ${release}, not the pinned ${LUMETH_FETCHED_CUDA_VERSION}: run scripts/install-deps.sh")
            endif()
        endif()
    endif()
    if(refused)
        set(nvcc "")
    endif()
    set(${prefix}_NVCC "${nvcc}" PARENT_SCOPE)
    set(${prefix}_RELEASE "${release}" PARENT_SCOPE)
    set(${prefix}_ORIGIN "${origin}" PARENT_SCOPE)
    set(${prefix}_REFUSED "${refused}" PARENT_SCOPE)
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

# Run as a script: the rule's answer for the set-up.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    lumeth_find_cuda_compiler(found)
    if(found_REFUSED)
        message("refused=${found_REFUSED}\norigin=${found_ORIGIN}")
    elseif(found_NVCC)
        message("nvcc=${found_NVCC}\nrelease=${found_RELEASE}\norigin=${found_ORIGIN}")
    endif()
endif()
