# SPDX-License-Identifier: MIT

# The benchmark script's own tests (label bench), one CTest case per test module, each run
# by the standard unittest runner on the checkers' Python; the figures' case needs
# matplotlib. Nothing here builds or times the program.
set(needs_figures matplotlib)
foreach(module stats records running report output figures errors)
    suite_case(bench.${module} NEEDS python ${needs_${module}} LABELS bench PROPERTIES TIMEOUT 120
                   WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
               COMMAND ${python} -m unittest -v benchmark.test_${module})
endforeach()
