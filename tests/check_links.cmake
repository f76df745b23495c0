# SPDX-License-Identifier: MIT

# Checks that every relative link in the project's Markdown files, inline or
# by reference, leads to a file of the project and, where it names a heading
# (file.md#heading), to a heading of that file, by the anchors that Markdown
# renderers make from headings (lower case, punctuation dropped, spaces as
# hyphens).
#
#   cmake -DSOURCE_DIR=. -P check_links.cmake

cmake_minimum_required(VERSION 3.25)

# The anchors of FILE's headings.
function(anchors file out)
    file(STRINGS "${file}" headings ENCODING UTF-8 REGEX "^#+ ")
    set(result "")
    foreach(heading IN LISTS headings)
        string(REGEX REPLACE "^#+ +" "" heading "${heading}")
        string(TOLOWER "${heading}" heading)
        string(REGEX REPLACE "[^a-z0-9 _-]" "" heading "${heading}")
        string(REPLACE " " "-" heading "${heading}")
        list(APPEND result "${heading}")
    endforeach()
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE)
file(GLOB_RECURSE documents RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*.md")
list(FILTER documents EXCLUDE REGEX "^(build|\\.git)/")
set(links 0)
foreach(document IN LISTS documents)
    get_filename_component(directory "${SOURCE_DIR}/${document}" DIRECTORY)
    file(READ "${SOURCE_DIR}/${document}" text)
    # Code is not Markdown: drop code blocks and code spans.
    string(REGEX REPLACE "```[^`]*```" "" text "${text}")
    string(REGEX REPLACE "`[^`\n]*`" "" text "${text}")
    # CMake's lists do not split inside square brackets: take them out first.
    string(REPLACE "[" "<" text "${text}")
    string(REPLACE "]" ">" text "${text}")
    # Inline links, [text](target), and reference definitions, [label]: target,
    # whose labels every reference link, [text][label], must define.
    string(REGEX MATCHALL ">\\([^) \t\n]+\\)" targets "${text}")
    string(REGEX MATCHALL "(^|\n) *<[^>\n]+>: *[^ \t\n]+" definitions "${text}")
    set(labels "")
    foreach(definition IN LISTS definitions)
        string(REGEX MATCH "<([^>]+)>: *(.*)" _ "${definition}")
        string(TOLOWER "${CMAKE_MATCH_1}" label)
        list(APPEND labels "${label}")
        list(APPEND targets ">(${CMAKE_MATCH_2})")
    endforeach()
    string(REGEX MATCHALL "><[^>\n]+>" references "${text}")
    foreach(reference IN LISTS references)
        string(REGEX REPLACE "^><(.*)>$" "\\1" label "${reference}")
        string(TOLOWER "${label}" label)
        if(NOT label IN_LIST labels)
            message(SEND_ERROR "${document}: the reference link [${label}] is defined nowhere")
        endif()
    endforeach()
    foreach(target IN LISTS targets)
        string(REGEX REPLACE "^>\\((.*)\\)$" "\\1" target "${target}")
        if(target MATCHES "^[a-z]+:")
            continue()  # a web address
        endif()
        math(EXPR links "${links} + 1")
        string(REGEX MATCH "^([^#]*)(#(.*))?$" _ "${target}")
        set(path "${CMAKE_MATCH_1}")
        set(anchor "${CMAKE_MATCH_3}")
        if(path STREQUAL "")
            set(file "${SOURCE_DIR}/${document}")
        else()
            get_filename_component(file "${directory}/${path}" ABSOLUTE)
        endif()
        if(NOT EXISTS "${file}")
            message(SEND_ERROR "${document}: the link ${target} leads to no file")
        elseif(anchor)
            anchors("${file}" known)
            if(NOT anchor IN_LIST known)
                message(SEND_ERROR "${document}: the link ${target} names no heading of ${path}")
            endif()
        endif()
    endforeach()
endforeach()
message(STATUS "${links} links checked in ${documents}")
