# SPDX-License-Identifier: MIT

# The benchmark script's own tests (label bench), one CTest case per test module.
# They run on Debian's Python, where python3-matplotlib installs matplotlib; the
# figure cases are skipped without it, and every case is skipped without that
# Python. Nothing here builds or times the program.
set(PARALLEL_SUM_BENCH_PYTHON /usr/bin/python3 CACHE FILEPATH
    "Python for the benchmark script's tests (Debian's, for python3-matplotlib)")
foreach(module stats records running tables readme figures errors)
    set(name bench.${module})
    if(EXISTS "${PARALLEL_SUM_BENCH_PYTHON}")
        add_test(NAME ${name}
                 COMMAND ${PARALLEL_SUM_BENCH_PYTHON} -B -m benchmark.test_${module}
                 WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
        # testing.main() exits 77 when every test of the module was skipped.
        set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
    else()
        add_test(NAME ${name}
                 COMMAND ${CMAKE_COMMAND} -E echo
                         "skipped: ${PARALLEL_SUM_BENCH_PYTHON} not found (Debian package python3)")
        set_tests_properties(${name} PROPERTIES SKIP_REGULAR_EXPRESSION "^skipped: ")
    endif()
    set_tests_properties(${name} PROPERTIES LABELS bench TIMEOUT 120)
endforeach()
