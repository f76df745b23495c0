# SPDX-License-Identifier: MIT

# Checks that every row of the README's table of blocks and partial sums is a
# row of the table the partition cases are made from, so that the README
# cannot show a block the program does not compute.
#
#   cmake -DREADME=README.md -DTABLE=partitions.md -P check_readme_table.cmake

cmake_minimum_required(VERSION 3.25)

file(READ "${README}" readme)
string(REGEX MATCH "\n## How the work is divided\n.*" section "${readme}")
string(REGEX REPLACE "(.)\n## .*" "\\1" section "${section}")
string(REGEX MATCHALL "\n\\| [0-9][^\n]*" readme_rows "${section}")
if(NOT readme_rows)
    message(FATAL_ERROR "no table rows found under \"How the work is divided\" in ${README}")
endif()

file(STRINGS "${TABLE}" table_rows ENCODING UTF-8 REGEX "^\\| [0-9]")
foreach(row IN LISTS readme_rows)
    string(STRIP "${row}" row)
    if(NOT row IN_LIST table_rows)
        message(SEND_ERROR "README row is not a tested case: ${row}")
    endif()
endforeach()
