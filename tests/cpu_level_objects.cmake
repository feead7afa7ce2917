# Checks the objects of the CPU loops, built once per instruction-set level from
# src/kernels/cpu_level.cpp, for what would break a program on a CPU below the highest level:
#  - every weak function a level object defines belongs to that level alone: it lives in the
#    level's inline namespace and no other object defines it. Otherwise the linker keeps one
#    copy of it, perhaps the AVX-512 one, and every level calls that copy;
#  - no level object has static initializers: they would run at start-up on any CPU;
#  - the x86-64 level and the dispatcher (which runs before any level is chosen) contain no
#    VEX or EVEX instruction, and the x86-64-v3 level no AVX-512 register;
#  - on 64-bit ARM, no fused multiply-add the source did not write as fma(): the level compiled
#    once more with fma() a call to the C library's (FMA_CALLS) has no fused instruction at all,
#    while the level itself has them.
#
#   cmake -DNM=<nm> -DOBJDUMP=<objdump> -DLEVELS=<id>=<object>|... -DOTHERS=<object>|...
#         [-DDISPATCHER=<object>] [-DINITIALIZERS_ALLOWED=ON]
#         [-DFMA_CALLS=<id>=<object>] -P cpu_level_objects.cmake
cmake_minimum_required(VERSION 3.24)
foreach(var NM OBJDUMP LEVELS OTHERS)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "pass -D${var}=...")
    endif()
endforeach()
string(REPLACE "|" ";" levels "${LEVELS}")
string(REPLACE "|" ";" others "${OTHERS}")
set(problems "")

# Names of the symbols of `object` whose nm type matches `types` (a regular expression).
function(defined_symbols object types out)
    execute_process(COMMAND ${NM} -P --defined-only ${object} OUTPUT_VARIABLE listing
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${NM} failed on ${object}")
    endif()
    string(REGEX MATCHALL "[^\n]+" lines "${listing}")
    set(names "")
    foreach(line IN LISTS lines)
        if(line MATCHES "^([^ ]+) (${types})( |$)")
            list(APPEND names "${CMAKE_MATCH_1}")
        endif()
    endforeach()
    set(${out} "${names}" PARENT_SCOPE)
endfunction()

# Globally visible definitions of every object, level objects included.
set(all_objects ${others})
foreach(entry IN LISTS levels)
    string(REGEX REPLACE "^[^=]+=" "" object "${entry}")
    list(APPEND all_objects "${object}")
endforeach()
foreach(object IN LISTS all_objects)
    defined_symbols(${object} "[A-TV-Zu]" names)
    set(globals_of_${object} "${names}")
endforeach()

foreach(entry IN LISTS levels)
    string(REGEX REPLACE "=.*$" "" id "${entry}")
    string(REGEX REPLACE "^[^=]+=" "" object "${entry}")

    # Weak functions: the mangled name of the level's inline namespace, length-prefixed so
    # that isa_level_x86_64 does not match inside isa_level_x86_64_v3.
    string(LENGTH "isa_${id}" length)
    set(own_namespace "${length}isa_${id}")
    defined_symbols(${object} "W" weak)
    foreach(symbol IN LISTS weak)
        string(FIND "${symbol}" "${own_namespace}" at)
        if(at EQUAL -1)
            string(APPEND problems "${id}: weak function ${symbol} is not in namespace "
                                   "isa_${id}\n")
        endif()
        foreach(other IN LISTS all_objects)
            if(NOT other STREQUAL object AND symbol IN_LIST globals_of_${other})
                string(APPEND problems "${id}: weak function ${symbol} is also defined in "
                                       "${other}\n")
            endif()
        endforeach()
    endforeach()

    if(NOT INITIALIZERS_ALLOWED)
        execute_process(COMMAND ${OBJDUMP} -h ${object} OUTPUT_VARIABLE sections)
        if(sections MATCHES "\\.(init_array|ctors)")
            string(APPEND problems "${id}: static initializers in ${object}\n")
        endif()
    endif()

    if(id STREQUAL "level_x86_64")
        set(baseline_objects ${object} ${DISPATCHER})
    elseif(id STREQUAL "level_x86_64_v3")
        execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object}
                        OUTPUT_VARIABLE code)
        string(REGEX MATCH "[^\n]*%(zmm|k[0-7]|[xy]mm(1[6-9]|2[0-9]|3[01]))[^\n]*"
               line "${code}")
        if(line)
            string(APPEND problems "${id}: AVX-512 instruction in ${object}: ${line}\n")
        endif()
    endif()
endforeach()

foreach(object IN LISTS baseline_objects)
    execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${object} OUTPUT_VARIABLE code)
    string(REGEX MATCH "[^\n]*\tv[a-z][^\n]*" line "${code}")
    if(line)
        string(APPEND problems "VEX or EVEX instruction in ${object}: ${line}\n")
    endif()
endforeach()

# ARM's fused multiply-adds: scalar FMADD, FMSUB, FNMADD, FNMSUB and vector FMLA, FMLS.
if(FMA_CALLS)
    set(fused "\t(fn?m(add|sub)|fml[as])[ \t][^\n]*")
    string(REGEX REPLACE "=.*$" "" id "${FMA_CALLS}")
    string(REGEX REPLACE "^[^=]+=" "" calls_object "${FMA_CALLS}")
    foreach(entry IN LISTS levels)
        if(entry MATCHES "^${id}=(.*)$")
            set(level_object "${CMAKE_MATCH_1}")
        endif()
    endforeach()
    execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${level_object} OUTPUT_VARIABLE code)
    if(NOT code MATCHES "${fused}")
        string(APPEND problems "${id}: no fused multiply-add found in ${level_object}: the "
                               "check would not see one\n")
    endif()
    execute_process(COMMAND ${OBJDUMP} -dr --no-show-raw-insn ${calls_object}
                    OUTPUT_VARIABLE code)
    string(REGEX MATCH "[^\n]*${fused}" line "${code}")
    if(line)
        string(APPEND problems "${id}: a multiply and an add fused by the compiler, not by "
                               "fma(): ${line}\n")
    endif()
    if(NOT code MATCHES "R_AARCH64_CALL26[ \t]+fma")
        string(APPEND problems "${id}: ${calls_object} calls no fma(): the check proves "
                               "nothing\n")
    endif()
endif()

if(problems)
    message(FATAL_ERROR "${problems}")
endif()
list(LENGTH levels count)
message(STATUS "${count} level object(s) checked")
