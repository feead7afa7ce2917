# Writes the kernels' fat binary into a C++ source file as data (run at build time by
# src/kernels/CMakeLists.txt):
#   cmake -DIMAGE=kernels.fatbin -DOUTPUT=kernels_image.cpp -DCUDA_VERSION=13000
#         -DLOWEST_ARCHITECTURE=86 -DMACHINE_CODE=75,86 -DPTX=86
#         [-DNVRTC_IMAGES=nvrtc/sm_60.cubin,nvrtc/compute_60.ptx -DNVRTC_CUDA_VERSION=12090]
#         -P embed_kernels_image.cmake
# The bytes follow a 16-byte tag ("lumeth:kernels" and two zero bytes) in the same array, so
# that the build checks find the image inside a built executable (tests/kernels_image.py); the
# image itself starts 16-byte aligned, as the CUDA driver wants a fat binary. Each NVRTC image
# (sm_N.cubin or compute_N.ptx, named by its architecture) follows its own 16-byte tag,
# "lumeth:nvrtc" and its size in four bytes, least significant first.
foreach(variable IMAGE OUTPUT CUDA_VERSION LOWEST_ARCHITECTURE MACHINE_CODE PTX)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "embed_kernels_image.cmake needs -D${variable}=...")
    endif()
endforeach()

# hex_lines(<file> <bytes variable> <size variable>): the file's bytes as C initialisers, sixteen
# a line: "0x50, 0xed, ...,". CMake's regular expressions have no {n}, so the pattern of a line
# is written out.
function(hex_lines file bytes_variable size_variable)
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
    string(REPEAT "0x[0-9a-f][0-9a-f], " 15 fifteen)
    string(REGEX REPLACE "(${fifteen}0x[0-9a-f][0-9a-f]), " "\\1,\n    " bytes "${bytes}")
    string(REGEX REPLACE "[ ,\n]+$" "" bytes "${bytes}")
    set(${bytes_variable} "${bytes}" PARENT_SCOPE)
    set(${size_variable} ${size} PARENT_SCOPE)
endfunction()

hex_lines("${IMAGE}" bytes size)
if(size LESS 16)
    message(FATAL_ERROR "${IMAGE} is no fat binary (${size} bytes)")
endif()

set(nvrtc_arrays "")
set(nvrtc_entries "")
set(nvrtc_count 0)
string(REPLACE "," ";" nvrtc_files "${NVRTC_IMAGES}")
foreach(file IN LISTS nvrtc_files)
    get_filename_component(name "${file}" NAME)
    if(name MATCHES "^sm_([0-9]+)\\.cubin$")
        set(ptx false)
    elseif(name MATCHES "^compute_([0-9]+)\\.ptx$")
        set(ptx true)
    else()
        message(FATAL_ERROR "${file} is neither sm_N.cubin nor compute_N.ptx")
    endif()
    set(architecture ${CMAKE_MATCH_1})
    hex_lines("${file}" image_bytes image_size)
    if(image_size LESS 16)
        message(FATAL_ERROR "${file} is no image (${image_size} bytes)")
    endif()
    set(size_bytes "")
    set(rest ${image_size})
    foreach(k RANGE 3)
        math(EXPR byte "${rest} % 256")
        math(EXPR rest "${rest} / 256")
        string(APPEND size_bytes ", ${byte}")
    endforeach()
    string(APPEND nvrtc_arrays "
alignas(16) const unsigned char kNvrtc${nvrtc_count}[16 + ${image_size}] = {
    'l', 'u', 'm', 'e', 't', 'h', ':', 'n', 'v', 'r', 't', 'c'${size_bytes},
    ${image_bytes}};
")
    string(APPEND nvrtc_entries "    {${architecture}, ${ptx}, kNvrtc${nvrtc_count} + 16, ${image_size}u},\n")
    math(EXPR nvrtc_count "${nvrtc_count} + 1")
endforeach()
if(nvrtc_count EQUAL 0)
    set(NVRTC_CUDA_VERSION 0)
    set(nvrtc_entries "    {0, false, nullptr, 0},  // none: a build without NVRTC\n")
endif()

file(WRITE "${OUTPUT}.partial" "\
// Generated at build time by cmake/embed_kernels_image.cmake from ${IMAGE}: do not edit.
#include \"kernels/kernels_image.h\"

namespace lumeth {
namespace {

// The tag, then the fat binary.
alignas(16) const unsigned char kTaggedImage[16 + ${size}] = {
    'l', 'u', 'm', 'e', 't', 'h', ':', 'k', 'e', 'r', 'n', 'e', 'l', 's', 0, 0,
    ${bytes}};

const int kMachineCode[] = {${MACHINE_CODE}};
const int kPtx[] = {${PTX}};
${nvrtc_arrays}
const NvrtcImage kNvrtcImages[] = {
${nvrtc_entries}};

}  // namespace

KernelsImage kernels_image() {
    return {kTaggedImage + 16, ${size}u, ${CUDA_VERSION}, ${LOWEST_ARCHITECTURE},
            kMachineCode, static_cast<int>(sizeof kMachineCode / sizeof kMachineCode[0]),
            kPtx, static_cast<int>(sizeof kPtx / sizeof kPtx[0]),
            kNvrtcImages, ${nvrtc_count}, ${NVRTC_CUDA_VERSION}};
}

}  // namespace lumeth
")
file(RENAME "${OUTPUT}.partial" "${OUTPUT}")
