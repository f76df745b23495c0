# SPDX-License-Identifier: MIT

# Runs one of the suite's own checkers on something it must refuse, and passes
# only if it refuses for the reason expected: exit status STATUS, and the
# pattern ERR found in its standard error (or OUT in its standard output).
# A checker that prints its complaint but exits 0, or that fails for another
# reason (a crash, a usage error), fails here.
#
#   cmake -DSTATUS=1 -DERR=regex [-DOUT=regex] [-DFRESH=file]
#         -P must_fail.cmake -- COMMAND [ARGS...]
#
# FRESH names a file the command keeps state in; it is removed first.

cmake_minimum_required(VERSION 3.25)

set(command "")
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(index RANGE ${last})
    if(DEFINED dashes)
        list(APPEND command "${CMAKE_ARGV${index}}")
    elseif(CMAKE_ARGV${index} STREQUAL "--")
        set(dashes ${index})
    endif()
endforeach()
if(NOT command OR NOT DEFINED STATUS)
    message(FATAL_ERROR "usage: cmake -DSTATUS=N -DERR=regex [-DOUT=regex] -P must_fail.cmake "
                        "-- COMMAND [ARGS...]")
endif()
if(FRESH)
    file(REMOVE "${FRESH}")
endif()

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
set(problems "")
if(NOT status STREQUAL STATUS)
    list(APPEND problems "it ended with ${status}, not status ${STATUS}")
endif()
if(DEFINED ERR AND NOT err MATCHES "${ERR}")
    list(APPEND problems "its standard error does not match \"${ERR}\"")
endif()
if(DEFINED OUT AND NOT out MATCHES "${OUT}")
    list(APPEND problems "its standard output does not match \"${OUT}\"")
endif()
if(problems)
    list(JOIN problems "; " problems)
    message(FATAL_ERROR "${command}\nmust fail, but ${problems}.\n"
                        "standard output:\n${out}\nstandard error:\n${err}")
endif()
message(STATUS "refused as expected: ${command}")
