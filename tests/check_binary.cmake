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
# - The region body adds in single precision and combines with a locked
#   compare-and-swap.
# - With CHECK_NEEDED, the only shared libraries it needs are libgomp and libc.
# - With CHECK_HARDENING, it is a position-independent executable whose
#   relocations are all done at start (BIND_NOW) and then made read-only
#   (a GNU_RELRO segment); with CHECK_FORTIFY, it prints through the
#   fortified __printf_chk.

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
string(REGEX MATCHALL "(GOMP_(critical|atomic|loop|barrier)|omp_[a-z_]*lock)[A-Za-z0-9_]*"
       forbidden "${imports}")
if(forbidden)
    message(SEND_ERROR "${PROGRAM} imports runtime synchronisation or scheduling: ${forbidden}")
endif()

run_tool(disassembly ${OBJDUMP} -d --no-show-raw-insn ${PROGRAM})
string(REGEX MATCH "<main\\._omp_fn\\.0>:\n([^\n]+\n)*" body "${disassembly}")
if(NOT body)
    message(SEND_ERROR "${PROGRAM} has no region body main._omp_fn.0")
endif()
if(NOT body MATCHES "lock cmpxchg")
    message(SEND_ERROR "the region body does not combine with lock cmpxchg:\n${body}")
endif()
# Scalar single-precision additions only: a double accumulator gives the same
# line for these inputs, so only the instructions show it.
if(NOT body MATCHES "addss" OR body MATCHES "(add|cvtsi2)sd")
    message(SEND_ERROR "the region body does not add in single precision:\n${body}")
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
endif()
if(CHECK_FORTIFY AND NOT imports MATCHES "[ \t]__printf_chk(@|\n)")
    message(SEND_ERROR "${PROGRAM} does not print through the fortified __printf_chk")
endif()
