# SPDX-License-Identifier: MIT

# Checks what the built program asks of the OpenMP runtime and the loader.
#
#   cmake -DPROGRAM=path -DNM=nm -DOBJDUMP=objdump [-DCHECK_NEEDED=ON]
#         [-DCHECK_HARDENING=ON] [-DCHECK_FORTIFY=ON] -P check_binary.cmake
#
# - It imports the region start and the two team queries the loop needs.
# - It imports none of the runtime's locks, critical sections, atomic
#   fallbacks, loop-scheduling calls or barriers: the partition is arithmetic
#   on the team size and thread number, and the combine is lock-free.
# - Its code adds in single precision: for these inputs a double accumulator
#   prints the same line, so only the instructions show the difference.
# - With CHECK_NEEDED, the only shared libraries it needs are libgomp and libc.
# - With CHECK_HARDENING, it is a position-independent executable whose
#   relocations are all done at start (BIND_NOW) and then made read-only
#   (a GNU_RELRO segment), and its stack protector is in (it imports
#   __stack_chk_fail); with CHECK_FORTIFY, it prints through the fortified
#   __printf_chk. Stack-clash and control-flow protection leave no mark that
#   can be checked here.

function(run_tool out)
    execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN} failed (${rc}): ${err}")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

run_tool(imports ${NM} -D --undefined-only ${PROGRAM})
foreach(symbol GOMP_parallel omp_get_num_threads omp_get_thread_num)
    if(NOT imports MATCHES "[ \t]${symbol}(@|\n)")
        message(SEND_ERROR "${PROGRAM} does not import ${symbol}")
    endif()
endforeach()
string(REGEX MATCHALL "(GOMP_(critical|atomic|(parallel_)?loop|barrier)|omp_[a-z_]*lock)[A-Za-z0-9_]*"
       forbidden "${imports}")
if(forbidden)
    message(SEND_ERROR "${PROGRAM} imports runtime synchronisation or scheduling: ${forbidden}")
endif()

# Scalar single-precision additions, and no double-precision addition or
# integer-to-double conversion anywhere in the program's code (the widening of
# the total for printing is a float-to-double conversion, cvtss2sd).
run_tool(disassembly ${OBJDUMP} -d --no-show-raw-insn ${PROGRAM})
string(REGEX MATCHALL "\t(addss|addsd|cvtsi2sd[lq]?) [^\n]*" additions "${disassembly}")
if(NOT additions MATCHES "addss" OR additions MATCHES "(add|cvtsi2)sd")
    message(SEND_ERROR "${PROGRAM} does not add in single precision only: ${additions}")
endif()

run_tool(headers ${OBJDUMP} -p ${PROGRAM})
if(CHECK_NEEDED)
    string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${headers}")
    string(REGEX REPLACE "NEEDED +" "" needed "${needed}")
    list(SORT needed)
    if(NOT needed STREQUAL "libc.so.6;libgomp.so.1")
        message(SEND_ERROR "${PROGRAM} needs ${needed}, expected exactly libc.so.6 and libgomp.so.1")
    endif()
endif()

# The dynamic section's FLAGS and FLAGS_1 entries, as numbers (0 when absent).
function(dynamic_flags name out)
    set(value 0)
    if(headers MATCHES "\n  ${name} +(0x[0-9a-f]+)")
        set(value ${CMAKE_MATCH_1})
    endif()
    set(${out} ${value} PARENT_SCOPE)
endfunction()

if(CHECK_HARDENING)
    dynamic_flags(FLAGS flags)
    dynamic_flags(FLAGS_1 flags_1)
    math(EXPR pie "${flags_1} & 0x08000000")    # DF_1_PIE
    math(EXPR now "(${flags} & 0x8) | (${flags_1} & 0x1)")  # DF_BIND_NOW, DF_1_NOW
    if(pie EQUAL 0)
        message(SEND_ERROR "${PROGRAM} is not a position-independent executable")
    endif()
    if(now EQUAL 0)
        message(SEND_ERROR "${PROGRAM} does not bind its symbols at start (BIND_NOW)")
    endif()
    if(NOT headers MATCHES "\n +RELRO off")
        message(SEND_ERROR "${PROGRAM} has no GNU_RELRO segment")
    endif()
    if(NOT imports MATCHES "[ \t]__stack_chk_fail(@|\n)")
        message(SEND_ERROR "${PROGRAM} has no stack protector (it does not import __stack_chk_fail)")
    endif()
endif()
if(CHECK_FORTIFY AND NOT imports MATCHES "[ \t]__printf_chk(@|\n)")
    message(SEND_ERROR "${PROGRAM} does not print through the fortified __printf_chk")
endif()
