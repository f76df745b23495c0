# SPDX-License-Identifier: MIT

# Makes the source release: the files git tracks in the commit checked out,
# under one top directory, as a gzipped tarball.
#
#   cmake -DSOURCE_DIR=... -DTOP_DIRECTORY=... -DOUTPUT=... -P source-release.cmake
#
# git archive records the commit's time for every file and root as owner, so
# the same commit gives the same bytes whoever makes it. The options that
# could change what it writes are set here rather than taken from the
# builder's git configuration: tar.umask (0002 by default, which would make
# the files group-writable) and core.autocrlf.
find_program(GIT_EXECUTABLE git)
if(NOT GIT_EXECUTABLE)
    message(FATAL_ERROR "The source release is made with git, which cannot be found. "
                        "On Debian: apt-get install git")
endif()
execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --show-toplevel
                OUTPUT_VARIABLE top_level
                OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET
                RESULT_VARIABLE result)
file(REAL_PATH "${SOURCE_DIR}" source_dir)
if(result EQUAL 0)
    file(REAL_PATH "${top_level}" top_level)
endif()
if(NOT result EQUAL 0 OR NOT top_level STREQUAL source_dir)
    message(FATAL_ERROR "The source release is made from a git checkout of parallel_sum, "
                        "and ${SOURCE_DIR} is not the top of one.")
endif()

execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                OUTPUT_VARIABLE changes)
if(changes)
    message(WARNING "The source release holds the last commit, without the changes "
                    "to these files since:\n${changes}")
endif()

execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" -c tar.umask=0022 -c core.autocrlf=false
                        archive --format=tar "--prefix=${TOP_DIRECTORY}/" HEAD
                COMMAND gzip -9n
                OUTPUT_FILE "${OUTPUT}.part"
                RESULTS_VARIABLE results)
if(NOT results STREQUAL "0;0")
    file(REMOVE "${OUTPUT}.part")
    message(FATAL_ERROR "git archive or gzip failed (${results})")
endif()
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
message(STATUS "Source release: ${OUTPUT}")
