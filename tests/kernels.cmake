lumeth_gtest(test_kernels
    SOURCES test_force_model.cpp test_integration.cpp test_cpu_kernels.cpp
            test_fixed_seed_run.cpp
    LIBS lumeth_kernels
    LABELS kernels)
# The pinned run's digests (data/fixed_seed_run.bin), read and, on request, rewritten in place.
target_compile_definitions(test_kernels PRIVATE
    LUMETH_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/data")

# The fma division against the divider on a billion random operand pairs per CPU level
# (about two minutes), beside the default run's four million: label "long", left out of the presets'
# test runs; `ctest --test-dir build -L long` runs it.
add_test(NAME kernels.fma_arithmetic_long
         COMMAND test_kernels --gtest_filter=*FmaArithmetic.RandomOperands*)
set_tests_properties(kernels.fma_arithmetic_long PROPERTIES LABELS long
                     ENVIRONMENT LUMETH_ARITHMETIC_SAMPLES=1000000000)

# The objects of the CPU loops, one per instruction-set level (cpu_level_objects.cmake says
# what is checked). Sanitizers add their own start-up code to every object.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_NM AND CMAKE_OBJDUMP)
    set(levels "")
    set(dispatcher "")
    foreach(target IN LISTS LUMETH_CPU_LEVEL_OBJECTS)
        string(REGEX REPLACE "^lumeth_kernels_" "" id ${target})
        list(APPEND levels "${id}=$<TARGET_OBJECTS:${target}>")
        if(id STREQUAL "level_x86_64")
            set(dispatcher "$<FILTER:$<TARGET_OBJECTS:lumeth_kernels>,INCLUDE,cpu_kernels>")
        endif()
    endforeach()
    list(JOIN levels "|" levels)
    set(others "")
    foreach(target lumeth_kernels lumeth_sim test_kernels)
        list(APPEND others "$<TARGET_OBJECTS:${target}>")
    endforeach()
    # On 64-bit ARM, where GCC fuses multiplies and adds unless told not to: the armv8-a level
    # once more with every fma() a call to the C library's, for the check that no fused
    # instruction is left in it (so every one in the level comes from an fma() in the source).
    set(fma_calls "")
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$" AND
       TARGET lumeth_kernels_level_build)
        add_library(test_level_fma_calls OBJECT ${PROJECT_SOURCE_DIR}/src/kernels/cpu_level.cpp)
        foreach(property COMPILE_DEFINITIONS COMPILE_OPTIONS LINK_LIBRARIES)
            get_target_property(value lumeth_kernels_level_build ${property})
            set_property(TARGET test_level_fma_calls PROPERTY ${property} "${value}")
        endforeach()
        target_compile_options(test_level_fma_calls PRIVATE -fno-builtin-fma)
        set(fma_calls "level_build=$<TARGET_OBJECTS:test_level_fma_calls>")
    endif()
    add_test(NAME kernels.level_objects
        COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DOBJDUMP=${CMAKE_OBJDUMP}
                "-DLEVELS=${levels}" "-DOTHERS=$<JOIN:${others},|>"
                "-DDISPATCHER=$<JOIN:${dispatcher},|>" "-DFMA_CALLS=${fma_calls}"
                -DINITIALIZERS_ALLOWED=${LUMETH_SANITIZE}
                -P ${CMAKE_CURRENT_SOURCE_DIR}/cpu_level_objects.cmake)
    set_tests_properties(kernels.level_objects PROPERTIES LABELS kernels)
endif()

# The static check of the pair loop (scripts/check-pair-loop.py): llvm-mca simulates the compiled
# x86-64-v4 and x86-64-v3 pair loops of both divisions on Intel models, and the check fails when
# the fma division's loop is over 1.15x the ports' bound there. Label "pair-loop", left out of
# the presets' test runs while a loop does not reach that bound (x86-64-v4 is within 1.05x,
# x86-64-v3 about 1.28x with GCC 12 and llvm-mca 19); `ctest --test-dir build -L pair-loop`
# runs it. Needs llvm-mca (Debian: llvm-19, whose models include Sapphire Rapids and Zen 4;
# the llvm package is llvm 14), objdump and nm. The newest llvm-mca found is used.
find_program(LUMETH_LLVM_MCA NAMES llvm-mca-19 llvm-mca-18 llvm-mca-17 llvm-mca-16 llvm-mca-15
                                   llvm-mca-14 llvm-mca)
find_package(Python3 COMPONENTS Interpreter)
if(LUMETH_LLVM_MCA AND Python3_Interpreter_FOUND AND CMAKE_OBJDUMP AND CMAKE_NM AND
   "lumeth_kernels_level_x86_64_v4" IN_LIST LUMETH_CPU_LEVEL_OBJECTS)
    add_test(NAME kernels.pair_loop
        COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/check-pair-loop.py
                --source-dir ${PROJECT_SOURCE_DIR} --llvm-mca ${LUMETH_LLVM_MCA}
                "--object=x86-64-v4=$<TARGET_OBJECTS:lumeth_kernels_level_x86_64_v4>"
                "--object=x86-64-v3=$<TARGET_OBJECTS:lumeth_kernels_level_x86_64_v3>")
    set_tests_properties(kernels.pair_loop PROPERTIES LABELS pair-loop)
endif()
