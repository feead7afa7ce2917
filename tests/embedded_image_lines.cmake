# The generated source of the kernels' image (cmake/embed_kernels_image.cmake): every line of
# bytes holds sixteen of them, the last at most sixteen, so the file stays readable and diffable.
#   cmake -DSOURCE=kernels_image.cpp -P embedded_image_lines.cmake
file(STRINGS "${SOURCE}" lines REGEX "^    0x")
list(LENGTH lines count)
if(count LESS 2)
    message(FATAL_ERROR "${SOURCE}: ${count} lines of bytes")
endif()
string(REPEAT "0x[0-9a-f][0-9a-f], " 15 fifteen)  # CMake's regular expressions have no {n}
# The last line of each image (the fat binary, then each NVRTC image) closes its array.
set(images 0)
foreach(line IN LISTS lines)
    if(line MATCHES "^    (0x[0-9a-f][0-9a-f], )*0x[0-9a-f][0-9a-f]};?$")
        math(EXPR images "${images} + 1")
        string(LENGTH "${line}" length)
        if(length GREATER 101)  # four spaces, sixteen bytes of six characters less one, "};"
            message(FATAL_ERROR "${SOURCE}: an image's last line holds more than sixteen bytes")
        endif()
    elseif(NOT line MATCHES "^    ${fifteen}0x[0-9a-f][0-9a-f],$")
        string(SUBSTRING "${line}" 0 120 start)
        message(FATAL_ERROR "${SOURCE}: a line of bytes that is not sixteen of them: ${start}...")
    endif()
endforeach()
if(images EQUAL 0)
    message(FATAL_ERROR "${SOURCE}: no image's array ends")
endif()
