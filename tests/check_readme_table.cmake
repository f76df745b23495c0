# SPDX-License-Identifier: MIT

# Checks that every row of the README's table of blocks and partial sums is a
# row of the table the partition cases are made from, so that the README
# cannot show a block the program does not compute. Rows are compared cell by
# cell, so a row counts however it is spaced.
#
#   cmake -DREADME=README.md -DTABLE=partitions.md -P check_readme_table.cmake

cmake_minimum_required(VERSION 3.25)

# The lines of TEXT that are table rows, with the space around each cell trimmed.
function(table_rows text out)
    string(REGEX MATCHALL "(^|\n)[ \t]*\\|[^\n]*" rows "${text}")
    set(normalized "")
    foreach(row IN LISTS rows)
        string(STRIP "${row}" row)
        string(REGEX REPLACE "[ \t]*\\|[ \t]*" "|" row "${row}")
        list(APPEND normalized "${row}")
    endforeach()
    set(${out} "${normalized}" PARENT_SCOPE)
endfunction()

file(READ "${README}" readme)
string(REGEX MATCH "\n## How the work is divided\n.*" section "${readme}")
string(REGEX REPLACE "(.)\n## .*" "\\1" section "${section}")
table_rows("${section}" readme_rows)
if(NOT readme_rows)
    message(FATAL_ERROR "no table rows found under \"How the work is divided\" in ${README}")
endif()

file(READ "${TABLE}" table)
table_rows("${table}" table_rows)
foreach(row IN LISTS readme_rows)
    if(NOT row IN_LIST table_rows)
        message(SEND_ERROR "README row is not a tested case: ${row}")
    endif()
endforeach()
