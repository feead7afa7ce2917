# Writes the kernels' fat binary into a C++ source file as data (run at build time by
# src/kernels/CMakeLists.txt):
#   cmake -DIMAGE=kernels.fatbin -DOUTPUT=kernels_image.cpp -DCUDA_VERSION=13000
#         -DLOWEST_ARCHITECTURE=86 -P embed_kernels_image.cmake
# The bytes follow a 16-byte tag ("lumeth:kernels" and two zero bytes) in the same array, so
# that the build checks find the image inside a built executable (tests/kernels_image.py); the
# image itself starts 16-byte aligned, as the CUDA driver wants a fat binary.
foreach(variable IMAGE OUTPUT CUDA_VERSION LOWEST_ARCHITECTURE)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "embed_kernels_image.cmake needs -D${variable}=...")
    endif()
endforeach()

file(READ "${IMAGE}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
if(size LESS 16)
    message(FATAL_ERROR "${IMAGE} is no fat binary (${size} bytes)")
endif()
# Sixteen bytes per line: "0x50, 0xed, ...,". CMake's regular expressions have no {n}, so the
# pattern of a line is written out.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
string(REPEAT "0x[0-9a-f][0-9a-f], " 15 fifteen)
string(REGEX REPLACE "(${fifteen}0x[0-9a-f][0-9a-f]), " "\\1,\n    " bytes "${bytes}")
string(REGEX REPLACE "[ ,\n]+$" "" bytes "${bytes}")

file(WRITE "${OUTPUT}" "\
// Generated at build time by cmake/embed_kernels_image.cmake from ${IMAGE}: do not edit.
#include \"kernels/kernels_image.h\"

namespace lumeth {
namespace {

// The tag, then the fat binary.
alignas(16) const unsigned char kTaggedImage[16 + ${size}] = {
    'l', 'u', 'm', 'e', 't', 'h', ':', 'k', 'e', 'r', 'n', 'e', 'l', 's', 0, 0,
    ${bytes}};

}  // namespace

KernelsImage kernels_image() {
    return {kTaggedImage + 16, ${size}u, ${CUDA_VERSION}, ${LOWEST_ARCHITECTURE}};
}

}  // namespace lumeth
")
