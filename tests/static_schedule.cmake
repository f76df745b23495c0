# SPDX-License-Identifier: MIT

# static_block(T t OUT): thread t's block of 1000 iterations on a team of T
# under the static schedule, as "iterations;count;partial sum". With
# q = 1000 / T and r = 1000 mod T, the first r threads take q + 1 iterations
# and the others q, one block after another in thread order.
function(static_block team thread out)
    math(EXPR q "1000 / ${team}")
    math(EXPR r "1000 % ${team}")
    if(thread LESS r)
        math(EXPR q "${q} + 1")
        set(r 0)
    endif()
    math(EXPR first "${thread} * ${q} + ${r}")
    math(EXPR last "${first} + ${q} - 1")
    math(EXPR partial "${q} * (${first} + ${last}) / 2")
    set(iterations "${first}–${last}")
    if(q EQUAL 0)
        set(iterations none)
    elseif(q EQUAL 1)
        set(iterations ${first})
    endif()
    set(${out} "${iterations};${q};${partial}" PARENT_SCOPE)
endfunction()
