# SPDX-License-Identifier: MIT

# The benchmark script's own tests (label bench), one CTest case per test module, each run
# by the standard unittest runner. They run on Debian's Python, where python3-matplotlib
# installs matplotlib; without it the figures' case is skipped, and every case is skipped
# without that Python. Nothing here builds or times the program.
set(PARALLEL_SUM_BENCH_PYTHON /usr/bin/python3 CACHE FILEPATH
    "Python for the benchmark script's tests (Debian's, for python3-matplotlib)")
set(bench_skip "")
if(NOT EXISTS "${PARALLEL_SUM_BENCH_PYTHON}")
    set(bench_skip "${PARALLEL_SUM_BENCH_PYTHON} not found (Debian package python3)")
    skipped_group("bench.*" "${bench_skip}")
endif()
foreach(module stats records running report output figures errors)
    set(name bench.${module})
    set(skip "${bench_skip}")
    if(module STREQUAL "figures" AND NOT skip)
        execute_process(COMMAND ${PARALLEL_SUM_BENCH_PYTHON} -c "import matplotlib"
                        RESULT_VARIABLE no_matplotlib OUTPUT_QUIET ERROR_QUIET)
        if(no_matplotlib)
            string(CONCAT skip "matplotlib not found for ${PARALLEL_SUM_BENCH_PYTHON} "
                               "(Debian package python3-matplotlib)")
            skipped_group(${name} "${skip}")
        endif()
    endif()
    if(skip)
        skipped_case(${name} "${skip}")
    else()
        add_test(NAME ${name}
                 COMMAND ${PARALLEL_SUM_BENCH_PYTHON} -B -m unittest -v benchmark.test_${module}
                 WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
    endif()
    set_tests_properties(${name} PROPERTIES LABELS bench TIMEOUT 120)
endforeach()
