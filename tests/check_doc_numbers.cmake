# SPDX-License-Identifier: MIT

# Checks the numbers of the learner's document, the README and the manual
# page against the static schedule of 1000 iterations, worked out here from T
# and t alone (static_schedule.cmake).
#
#   cmake -DDOC=doc/how-it-works.md -DREADME=README.md -DMANUAL=doc/parallel_sum.1
#         -DROWS=T:t,T:t,... -P check_doc_numbers.cmake
#
# What it reads:
# - tables headed T | thread | iterations | count | partial sum: thread t's
#   block of a team of T, its size and its sum (each file must have one);
# - in code blocks, a line "T = N", then lines starting "block" and "partial"
#   (every thread's, in thread order) and "total, threads a, b, ...:" (the
#   running total as the threads finish in that order);
# - tables headed T | thread | reads | partial | swaps in | finds | outcome:
#   compare-and-swaps, played through from a total of 0 to the total;
# - in code blocks, after a command "OMP_NUM_THREADS=T gdb ... count_combines",
#   the trace it prints, played through in the same way: each partial one of
#   the team's, each thread's count of failed swaps, the totals and the verdict;
# - every "a / b = c", "a mod b = c" and "a^b = c";
# - every "sum = N.000000": after SPY_TEAM_SIZE=T SPY_THREAD_NUM=t, thread
#   t's partial sum; otherwise the total;
# - the document's table of blocks must hold a row for each T:t of ROWS;
# - in the document's prose and all of the manual page, every number must be
#   one of the above, or a sentence that states the schedule, checked for each
#   T of ROWS; or a name or a setting (see prose_numbers()). Any other number
#   fails: write it in words, or check it here.

cmake_minimum_required(VERSION 3.25)

set(total 499500)

include(${CMAKE_CURRENT_LIST_DIR}/static_schedule.cmake)

function(fail message)
    message(SEND_ERROR "${where}: ${message}")
endfunction()

# play_swap(READS PARTIAL SWAPPED FOUND OUTCOME): one compare-and-swap, played
# against the total as it stands (running; chain holds every value it held).
# It swaps in READS + PARTIAL, finds the total, and succeeds only if that is
# what it read: the total becomes SWAPPED. A macro, so that it moves the
# caller's total; swap_succeeded tells whether it did.
macro(play_swap reads partial swapped found outcome)
    math(EXPR sum "${reads} + ${partial}")
    set(swap_succeeded FALSE)
    if(NOT ${swapped} EQUAL sum)
        fail("${reads} + ${partial} is ${sum}, not ${swapped}")
    elseif(NOT ${reads} IN_LIST chain)
        fail("the total never held ${reads}")
    elseif(NOT ${found} EQUAL running)
        fail("the total holds ${running} here, not ${found}")
    elseif(${found} EQUAL ${reads} AND NOT "${outcome}" STREQUAL "succeeds")
        fail("a swap that finds what was read succeeds")
    elseif(NOT ${found} EQUAL ${reads} AND NOT "${outcome}" MATCHES "^fails(, retried)?$")
        fail("a swap that finds another value than was read fails")
    elseif(${found} EQUAL ${reads})
        set(running ${swapped})
        list(APPEND chain ${running})
        set(swap_succeeded TRUE)
    endif()
endmacro()

# claim_schedule(TEXT N_Q N_R FIRST OFFSET PLUS): a sentence that says that, with
# q = N_Q / T and r = N_R mod T, threads FIRST to r - OFFSET take q + PLUS
# iterations and the others q; checked for every team size of ROWS.
function(claim_schedule text n_q n_r first offset plus)
    string(REGEX MATCHALL "[0-9]+:" teams "${ROWS}")
    list(REMOVE_DUPLICATES teams)
    foreach(team IN LISTS teams)
        string(REPLACE ":" "" team "${team}")
        math(EXPR q "${n_q} / ${team}")
        math(EXPR last "${n_r} % ${team} - ${offset}")
        math(EXPR last_thread "${team} - 1")
        foreach(thread RANGE ${last_thread})
            set(size ${q})
            if(NOT thread LESS first AND NOT thread GREATER last)
                math(EXPR size "${q} + ${plus}")
            endif()
            static_block(${team} ${thread} block)
            list(GET block 1 expected)
            if(NOT size EQUAL expected)
                fail("\"${text}\" gives thread ${thread} of ${team} ${size} iterations; "
                     "the static schedule gives it ${expected}")
                return()
            endif()
        endforeach()
    endforeach()
endfunction()

# prose_numbers(TEXT): checks the sentences that state the schedule, then
# fails on any number left that is not the loop's size, its total, a range of
# its iterations, a printed line, an exit status of 0 or 1, a team size given as
# T = N, a setting (NAME=N), arithmetic checked above, or a name (x86-64,
# IEEE 754, GCC 12).
function(prose_numbers text)
    set(schedule "let q be ([0-9]+) divided by T, rounded down, and r the remainder: threads "
                 "([0-9]+) to r − ([0-9]+) take q \\+ ([0-9]+) iterations each and the others "
                 "take q")
    string(JOIN "" schedule ${schedule})
    while(text MATCHES "${schedule}")
        claim_schedule("${CMAKE_MATCH_0}" ${CMAKE_MATCH_1} ${CMAKE_MATCH_1} ${CMAKE_MATCH_2}
                       ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
        string(REPLACE "${CMAKE_MATCH_0}" " " text "${text}")
    endwhile()
    set(schedule "the first ([0-9]+) mod T threads take ([0-9]+)/T \\+ ([0-9]+) consecutive "
                 "iterations each and the others ([0-9]+)/T")
    string(JOIN "" schedule ${schedule})
    while(text MATCHES "${schedule}")
        if(NOT CMAKE_MATCH_2 EQUAL CMAKE_MATCH_4)
            fail("\"${CMAKE_MATCH_0}\" divides by two sizes of loop")
        endif()
        claim_schedule("${CMAKE_MATCH_0}" ${CMAKE_MATCH_2} ${CMAKE_MATCH_1} 0 1 ${CMAKE_MATCH_3})
        string(REPLACE "${CMAKE_MATCH_0}" " " text "${text}")
    endwhile()
    # "For T = 3, 1000 / 3 = 333 and 1000 mod 3 = 1": the team of the sentence.
    set(example "T = ([0-9]+), ([0-9]+) / ([0-9]+) = [0-9]+ and ([0-9]+) mod ([0-9]+) = [0-9]+")
    string(REGEX MATCHALL "${example}" examples "${text}")
    foreach(found IN LISTS examples)
        string(REGEX MATCH "${example}" _ "${found}")
        if(NOT CMAKE_MATCH_1 EQUAL CMAKE_MATCH_3 OR NOT CMAKE_MATCH_1 EQUAL CMAKE_MATCH_5
           OR NOT CMAKE_MATCH_2 EQUAL 1000 OR NOT CMAKE_MATCH_4 EQUAL 1000)
            fail("\"${found}\" is not the arithmetic of a team of ${CMAKE_MATCH_1}")
        endif()
    endforeach()
    # Single precision holds every whole number up to 2^24, and no further.
    string(REGEX REPLACE "[0-9]+ (/|mod) [0-9]+ = [0-9]+|2\\^24( = [0-9]+)?" " "
           text "${text}")
    string(REGEX REPLACE "T = [0-9]+|([A-Z_]+|Ns) ?=[0-9]+|ulimit -u [0-9]+|x86-64|IEEE 754|GCC 12"
           " " text "${text}")
    string(REGEX REPLACE "0( …| to|, 1, \\.\\.\\.,|–) 999|sum = [0-9]+\\.0+" " " text "${text}")
    # The program's exit statuses, which the output.* and write_error.* cases check.
    string(REGEX REPLACE "(status( is)?|exits|\\.It) [01]([^0-9]|$)" " " text "${text}")
    string(REGEX MATCHALL "[0-9]+" numbers "${text}")
    list(REMOVE_ITEM numbers 1000 ${total})
    if(numbers)
        list(JOIN numbers ", " numbers)
        fail("${numbers}: no rule checks these numbers; write them in words, or check them in "
             "check_doc_numbers.cmake")
    endif()
endfunction()

set(blocks_header "T;thread;iterations;count;partial sum")
set(swaps_header "T;thread;reads;partial;swaps in;finds;outcome")
foreach(file IN ITEMS "${DOC}" "${README}")
    file(STRINGS "${file}" lines ENCODING UTF-8)
    set(table "")
    set(block_rows 0)
    set(rows_seen "")
    set(paragraph "")
    list(LENGTH lines line_count)
    set(spy "")
    set(in_code FALSE)
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        set(where "${file}:${number}")

        # Tables, known by their headers; a line that is not a row ends one.
        set(cells "")
        if(line MATCHES "^ *\\|(.*)\\| *$")
            string(REPLACE "|" ";" cells "${CMAKE_MATCH_1}")
            list(TRANSFORM cells STRIP)
        endif()
        if(cells STREQUAL blocks_header OR cells STREQUAL swaps_header)
            set(table "${cells}")
            set(running 0)
            set(chain 0)
        elseif(NOT cells)
            if(table STREQUAL swaps_header AND NOT running EQUAL total)
                fail("the swaps above end at ${running}, not ${total}")
            endif()
            set(table "")
        elseif(cells MATCHES "^:?-+:?;")
            # the rule under a header
        elseif(table STREQUAL blocks_header)
            list(POP_FRONT cells team thread)
            static_block(${team} ${thread} expected)
            if(NOT cells STREQUAL expected)
                fail("T = ${team}, thread ${thread} shows ${cells}; "
                     "the static schedule gives ${expected} (iterations, count, sum)")
            endif()
            math(EXPR block_rows "${block_rows} + 1")
            list(APPEND rows_seen "${team}:${thread}")
        elseif(table STREQUAL swaps_header)
            list(POP_FRONT cells team thread reads partial swapped found outcome)
            static_block(${team} ${thread} block)
            list(GET block 2 expected)
            if(NOT partial EQUAL expected)
                fail("thread ${thread} of ${team} has the partial ${expected}, not ${partial}")
            else()
                play_swap(${reads} ${partial} ${swapped} ${found} "${outcome}")
            endif()
        endif()

        # The pictures, in code blocks.
        if(line MATCHES "^```")
            if(in_code)
                set(in_code FALSE)
            else()
                set(in_code TRUE)
            endif()
        elseif(in_code AND line MATCHES "OMP_NUM_THREADS=([0-9]+) gdb .*count_combines")
            # A trace of the swaps on a real team: rows, totals, counts, verdict.
            set(trace_team ${CMAKE_MATCH_1})
            set(trace_partials "")
            math(EXPR last_thread "${trace_team} - 1")
            foreach(thread RANGE ${last_thread})
                static_block(${trace_team} ${thread} block)
                list(GET block 2 partial)
                list(APPEND trace_partials ${partial})
            endforeach()
            set(running 0)
            set(chain 0)
            set(failed "")
        elseif(in_code AND trace_team AND line MATCHES
               "^ +([0-9]+) +[0-9]+ +([0-9]+) +([0-9]+) +([0-9]+) +([0-9]+) +(succeeds|fails)$")
            set(thread ${CMAKE_MATCH_1})
            set(partial ${CMAKE_MATCH_3})
            if(NOT partial IN_LIST trace_partials)
                fail("no thread of ${trace_team} left to add the partial ${partial}")
            else()
                play_swap(${CMAKE_MATCH_2} ${partial} ${CMAKE_MATCH_4} ${CMAKE_MATCH_5}
                          "${CMAKE_MATCH_6}")
                if(swap_succeeded)
                    list(FIND trace_partials ${partial} index)
                    list(REMOVE_AT trace_partials ${index})
                else()
                    list(APPEND failed ${thread})
                endif()
            endif()
        elseif(in_code AND trace_team AND line MATCHES "^totals: (.*)")
            string(REGEX MATCHALL "[0-9]+" shown "${CMAKE_MATCH_1}")
            if(NOT shown STREQUAL chain OR NOT running EQUAL total)
                fail("the swaps above run the total ${chain}, not ${shown}, to ${total}")
            endif()
        elseif(in_code AND trace_team AND line MATCHES
               "^thread ([0-9]+) \\(gdb [0-9]+\\): ([0-9]+) update\\(s\\), ([0-9]+) failed")
            set(fails ${failed})
            list(FILTER fails INCLUDE REGEX "^${CMAKE_MATCH_1}$")
            list(LENGTH fails fails)
            if(NOT CMAKE_MATCH_2 EQUAL 1 OR NOT CMAKE_MATCH_3 EQUAL fails)
                fail("thread ${CMAKE_MATCH_1} made one update and ${fails} failed swap(s) above")
            endif()
        elseif(in_code AND trace_team AND line MATCHES
               "^([0-9]+) thread\\(s\\), one update each, from ([0-9]+) to ([0-9]+); ([0-9]+) fail")
            list(LENGTH failed fails)
            if(NOT CMAKE_MATCH_1 EQUAL trace_team OR NOT CMAKE_MATCH_2 EQUAL 0
               OR NOT CMAKE_MATCH_3 EQUAL total OR NOT CMAKE_MATCH_4 EQUAL fails OR trace_partials)
                fail("the trace above is not one update by each of ${trace_team} threads, "
                     "from 0 to ${total}, with ${fails} failed swap(s)")
            endif()
            set(trace_team "")
        elseif(in_code AND line MATCHES "^T = ([0-9]+)")
            set(blocks "")
            set(partials "")
            math(EXPR last_thread "${CMAKE_MATCH_1} - 1")
            foreach(thread RANGE ${last_thread})
                static_block(${CMAKE_MATCH_1} ${thread} block)
                list(GET block 0 iterations)
                list(GET block 2 partial)
                list(APPEND blocks "${iterations}")
                list(APPEND partials ${partial})
            endforeach()
        elseif(in_code AND line MATCHES "^block (.*)")
            string(REGEX MATCHALL "[0-9]+–[0-9]+|[0-9]+|none" shown "${CMAKE_MATCH_1}")
            if(NOT shown STREQUAL blocks)
                fail("the blocks are ${blocks}, not ${shown}")
            endif()
        elseif(in_code AND line MATCHES "^partial (.*)")
            string(REGEX MATCHALL "[0-9]+" shown "${CMAKE_MATCH_1}")
            if(NOT shown STREQUAL partials)
                fail("the partials are ${partials}, not ${shown}")
            endif()
        elseif(in_code AND line MATCHES "^total, threads ([0-9, ]+):(.*)")
            set(chain_text "${CMAKE_MATCH_2}")
            string(REGEX MATCHALL "[0-9]+" order "${CMAKE_MATCH_1}")
            string(REGEX MATCHALL "[0-9]+" shown "${chain_text}")
            set(chain 0)
            set(running 0)
            foreach(thread IN LISTS order)
                list(GET partials ${thread} partial)
                math(EXPR running "${running} + ${partial}")
                list(APPEND chain ${running})
            endforeach()
            if(NOT shown STREQUAL chain OR NOT running EQUAL total)
                fail("in that order the total runs ${chain}, not ${shown}")
            endif()
        endif()

        # Arithmetic written out.
        string(REGEX MATCHALL "[0-9]+ (/|mod) [0-9]+ = [0-9]+|[0-9]+\\^[0-9]+ = [0-9]+"
               equations "${line}")
        foreach(equation IN LISTS equations)
            string(REGEX MATCH "^([0-9]+) ?([/^]|mod) ?([0-9]+) = ([0-9]+)$" _ "${equation}")
            set(c ${CMAKE_MATCH_4})
            if(CMAKE_MATCH_2 STREQUAL "^")
                set(value 1)
                foreach(_ RANGE 1 ${CMAKE_MATCH_3})
                    math(EXPR value "${value} * ${CMAKE_MATCH_1}")
                endforeach()
            else()
                string(REPLACE "mod" "%" op "${CMAKE_MATCH_2}")
                math(EXPR value "${CMAKE_MATCH_1} ${op} ${CMAKE_MATCH_3}")
            endif()
            if(NOT value EQUAL c)
                fail("${equation} is wrong: it is ${value}")
            endif()
        endforeach()

        # The document's prose, a paragraph at a time, without code spans and
        # link targets; code blocks and tables are checked above.
        if(file STREQUAL DOC AND NOT in_code AND NOT line MATCHES "^(```| *\\|)")
            string(APPEND paragraph " ${line}")
            if(line STREQUAL "" OR number EQUAL line_count)
                string(REGEX REPLACE "`[^`]*`|\\]\\([^)]*\\)| #+ " " " paragraph "${paragraph}")
                prose_numbers("${paragraph}")
                set(paragraph "")
            endif()
        endif()

        # What the program prints.
        if(line MATCHES "SPY_TEAM_SIZE=([0-9]+) (--env )?SPY_THREAD_NUM=([0-9]+)")
            static_block(${CMAKE_MATCH_1} ${CMAKE_MATCH_3} spy)
        elseif(line MATCHES "^sum = ([0-9]+)\\.000000$")
            set(expected ${total})
            if(spy)
                list(GET spy 2 expected)
            endif()
            if(NOT CMAKE_MATCH_1 EQUAL expected)
                fail("the program prints sum = ${expected}.000000 here")
            endif()
            set(spy "")
        endif()
    endforeach()
    set(where "${file}")
    if(block_rows EQUAL 0)
        fail("no table of blocks (T | thread | iterations | count | partial sum)")
    endif()
    if(file STREQUAL DOC)
        string(REPLACE "," ";" rows "${ROWS}")
        foreach(row IN LISTS rows)
            if(NOT row IN_LIST rows_seen)
                string(REPLACE ":" ", thread " row "${row}")
                fail("the table of blocks has no row for T = ${row}, which the tests cover")
            endif()
        endforeach()
    endif()
endforeach()

# The manual page, all of it but its date, section number and links.
file(STRINGS "${MANUAL}" lines ENCODING UTF-8)
set(where "${MANUAL}")
list(FILTER lines EXCLUDE REGEX "^\\.(Dd|Dt|Lk|\\\\\")")
list(JOIN lines " " text)
string(REGEX REPLACE " +" " " text "${text}")
prose_numbers("${text}")
