# Tests of lumeth-record: its command line, its videos (decoded with FFmpeg's libraries) and
# its snapshots.
# They run the real program (its path is built in) on a few thousand particles.
if(NOT LUMETH_HAVE_RECORD)
    return()
endif()

lumeth_gtest(test_record
    SOURCES test_record.cpp allocation_counter.cpp
    LIBS lumeth_record
    LABELS record)
target_compile_definitions(test_record PRIVATE
                           LUMETH_RECORD_PROGRAM="$<TARGET_FILE:lumeth-record>")
add_dependencies(test_record lumeth-record)
# A cross-built test starts the cross-built program through the emulator, a program of the
# build machine, which the emulated test can start.
if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    target_compile_definitions(test_record PRIVATE LUMETH_RECORD_EMULATOR="${emulator}")
endif()

# The snapshot's layout as h5py reads it (Debian's python3-h5py; skipped without it). Debian's
# own interpreter first, which has its packages.
find_program(LUMETH_SYSTEM_PYTHON python3 HINTS /usr/bin)
if(LUMETH_SYSTEM_PYTHON)
    add_test(NAME snapshot_layout
             COMMAND ${LUMETH_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/snapshot_layout.py
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:lumeth-record>)
    set_tests_properties(snapshot_layout PROPERTIES LABELS record SKIP_RETURN_CODE 77)
endif()

# The reader under damaged files, in-process; also under the sanitizers (scripts/test.sh's
# sanitize stage runs the label record), within 3 minutes there.
lumeth_gtest(test_snapshot_fuzz
    SOURCES test_snapshot_fuzz.cpp allocation_counter.cpp
    LIBS lumeth_record
    LABELS "record;fuzz")

# A cross build's snapshots against the build machine's own lumeth-record (LUMETH_HOST_RECORD,
# the release build's in the linux-arm64 preset; skipped where it is not built).
set(LUMETH_HOST_RECORD "" CACHE FILEPATH "lumeth-record built for the build machine")
if(CMAKE_CROSSCOMPILING_EMULATOR AND NOT WIN32 AND LUMETH_HOST_RECORD)
    add_test(NAME record.snapshots_across_processors
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/cross_resume.sh ${LUMETH_HOST_RECORD}
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:lumeth-record>)
    set_tests_properties(record.snapshots_across_processors PROPERTIES
        LABELS record SKIP_RETURN_CODE 77)
endif()
