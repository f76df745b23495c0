# SPDX-License-Identifier: MIT

# Branch coverage of the suite's own checkers, as the suite runs them: gcovr for
# expect_run, the interposer and the planted-fault program (the program itself
# is left alone: the checks read its instructions), python3-coverage for the
# Python checkers and the benchmark package. The coverage workflow prints both.
option(PARALLEL_SUM_COVERAGE "Measure the checkers' branch coverage (gcovr, python3-coverage)" OFF)
set(python ${PARALLEL_SUM_PYTHON} -B)
set(gdb_coverage "")
if(PARALLEL_SUM_COVERAGE)
    set(coverage_data ${CMAKE_BINARY_DIR}/coverage/python)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/coverage)
    list(APPEND python -m coverage run --branch --parallel-mode --data-file=${coverage_data})
    set(gdb_coverage -ex "python coverage_file = '${coverage_data}'"
                     -x ${CMAKE_CURRENT_SOURCE_DIR}/gdb_coverage.py)
    # Counters updated atomically where many threads run the code, but in the
    # planted-fault program without the lock prefix, which the combine count
    # would follow as an update.
    set(update_combine_faults single)
    foreach(target expect_run gomp_spy combine_faults)
        set(update ${update_${target}} atomic)
        list(GET update 0 update)
        target_compile_options(${target} PRIVATE --coverage -fprofile-update=${update})
        target_compile_definitions(${target} PRIVATE PARALLEL_SUM_COVERAGE)
        target_link_options(${target} PRIVATE --coverage)
        # Counts of an earlier build would not match the new one.
        add_custom_command(TARGET ${target} POST_BUILD
                           COMMAND find ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.dir
                                   -name *.gcda -delete)
    endforeach()
    add_custom_target(coverage
        COMMAND gcovr --root ${PROJECT_SOURCE_DIR} --filter ${CMAKE_CURRENT_SOURCE_DIR}/
                      --branches --exclude-unreachable-branches --exclude-throw-branches
                      ${PROJECT_BINARY_DIR}
        COMMAND ${PARALLEL_SUM_PYTHON} -m coverage combine --quiet
                --data-file=${coverage_data} ${CMAKE_BINARY_DIR}/coverage
        COMMAND ${PARALLEL_SUM_PYTHON} -m coverage report --data-file=${coverage_data}
                --show-missing --include=${PROJECT_SOURCE_DIR}/tests/*,${PROJECT_SOURCE_DIR}/bench/*
                --omit=*/test_*.py,*/gdb_coverage.py
        WORKING_DIRECTORY ${PROJECT_BINARY_DIR} VERBATIM)
endif()
