# SPDX-License-Identifier: MIT

# The benchmark script's own tests (label bench), one CTest case per test module, each run
# by the standard unittest runner on the checkers' Python; the figures' case needs
# matplotlib. Nothing here builds or times the program.
foreach(module stats records running report output figures errors)
    set(needs python)
    if(module STREQUAL "figures")
        set(needs matplotlib)
    endif()
    suite_case(bench.${module} NEEDS ${needs} LABELS bench PROPERTIES TIMEOUT 120
                   WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}
               COMMAND ${python} -m unittest -v benchmark.test_${module})
endforeach()
