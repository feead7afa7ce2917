# Tests of lumeth-record: its command line and its videos, decoded with FFmpeg's libraries.
# They run the real program (its path is built in) on a few thousand particles.
if(NOT LUMETH_HAVE_RECORD)
    return()
endif()

lumeth_gtest(test_record
    SOURCES test_record.cpp
    LIBS lumeth_record
    LABELS record)
target_compile_definitions(test_record PRIVATE
                           LUMETH_RECORD_PROGRAM="$<TARGET_FILE:lumeth-record>")
add_dependencies(test_record lumeth-record)
