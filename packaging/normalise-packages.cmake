# SPDX-License-Identifier: MIT

# Run by CPack (CPACK_POST_BUILD_SCRIPTS) on each package it has made, before
# copying it to the build directory, so that the package does not depend on who
# built it. CPack records two things from the builder:
#
# - the .deb's ar members (debian-binary, control.tar.gz, data.tar.gz) get the
#   modes of CPack's work files, which the builder's umask decides; dpkg-deb
#   always writes 0644, so they are set to that here;
# - the tarball records the builder as owner of every entry, and lists the
#   files in the order the file system returns them; it is made again from the
#   same staged tree with GNU tar, owned by root, sorted by name, modes 0644 or
#   0755, and times from SOURCE_DATE_EPOCH when it is set.

# set_ar_member_modes(ARCHIVE): sets the mode field of each member's header to
# 100644. A header is 60 characters: name 16, time 12, owner 6, group 6,
# mode 8, size 10 and "`\n"; each member's data is padded to an even length.
function(set_ar_member_modes archive)
    file(READ "${archive}" magic LIMIT 8)
    if(NOT magic STREQUAL "!<arch>\n")
        message(FATAL_ERROR "${archive} is not an ar archive")
    endif()
    set(mode_field "${CPACK_TOPLEVEL_DIRECTORY}/ar-mode-field")
    file(WRITE "${mode_field}" "100644  ")
    file(SIZE "${archive}" archive_size)
    set(offset 8)
    while(offset LESS archive_size)
        file(READ "${archive}" header OFFSET ${offset} LIMIT 60)
        string(LENGTH "${header}" header_length)
        string(SUBSTRING "${header}" 48 10 member_size)
        string(STRIP "${member_size}" member_size)
        if(NOT header_length EQUAL 60 OR NOT header MATCHES "`\n$"
           OR NOT member_size MATCHES "^[0-9]+$")
            message(FATAL_ERROR "${archive}: no ar member header at byte ${offset}")
        endif()
        math(EXPR mode_offset "${offset} + 40")
        execute_process(COMMAND dd "of=${archive}" bs=1 seek=${mode_offset} conv=notrunc status=none
                        INPUT_FILE "${mode_field}"
                        RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "${archive}: could not set the mode of a member (dd: ${result})")
        endif()
        math(EXPR offset "${offset} + 60 + ${member_size} + ${member_size} % 2")
    endwhile()
    file(REMOVE "${mode_field}")
endfunction()

# retar(TARBALL): makes the gzipped tarball again from CPack's staged tree.
function(retar tarball)
    get_filename_component(staged_parent "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY)
    get_filename_component(staged_name "${CPACK_TEMPORARY_DIRECTORY}" NAME)
    set(tar_options --format=gnu --sort=name --owner=root:0 --group=root:0 --mode=u=rwX,go=rX)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        list(APPEND tar_options --mtime=@$ENV{SOURCE_DATE_EPOCH})
    endif()
    execute_process(COMMAND tar ${tar_options} -C "${staged_parent}" -cf - "${staged_name}"
                    COMMAND gzip -9n
                    OUTPUT_FILE "${tarball}"
                    RESULTS_VARIABLE results)
    if(NOT results STREQUAL "0;0")
        message(FATAL_ERROR "${tarball}: tar and gzip failed (${results})")
    endif()
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.deb$")
        set_ar_member_modes("${package}")
    elseif(package MATCHES "\\.tar\\.gz$")
        if(NOT CPACK_INCLUDE_TOPLEVEL_DIRECTORY)
            message(FATAL_ERROR "${package}: expected the files under one top directory")
        endif()
        retar("${package}")
    else()
        message(FATAL_ERROR "${package}: no way to make this kind of package builder-independent")
    endif()
endforeach()
