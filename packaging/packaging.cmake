# SPDX-License-Identifier: MIT

# Installs the program with its manual page, copyright and changelog, laid out
# as on a Debian system, and packages that tree as a .deb and a tarball.

set(PARALLEL_SUM_PACKAGE_NAME parallel-sum)  # Debian package names cannot hold '_'
set(PARALLEL_SUM_MAINTAINER "The parallel_sum authors <parallel-sum@example.org>"
    CACHE STRING "Maintainer named in the Debian package")
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PARALLEL_SUM_PACKAGE_NAME})
# Directories the installation creates are 0755 whatever the umask of whoever
# installs or packages; the files get their modes from install() itself.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The changelog's newest entry must be for the version being packaged.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog newest_entry LIMIT_COUNT 1)
if(NOT newest_entry MATCHES "^${PARALLEL_SUM_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog starts with \"${newest_entry}\", "
                        "not with an entry for version ${PROJECT_VERSION}")
endif()

# The manual page is written in mdoc(7); the page installed is the man(7) page
# mandoc makes from it, whose header and footer name the program and its
# version where an mdoc page names an operating system (man-db's groff shows
# any mdoc page's header as "BSD General Commands Manual"). Without mandoc a
# plain build installs the page as written; the packages require mandoc.
find_program(PARALLEL_SUM_MANDOC mandoc DOC "mandoc, which makes the manual page")
option(PARALLEL_SUM_REQUIRE_MANDOC "Stop unless mandoc can make the manual page" OFF)
set(manual_page ${CMAKE_CURRENT_BINARY_DIR}/doc/parallel_sum.1)
if(PARALLEL_SUM_MANDOC)
    add_custom_command(OUTPUT ${manual_page}
                       COMMAND ${CMAKE_COMMAND} -DMANDOC=${PARALLEL_SUM_MANDOC}
                               "-DOPERATING_SYSTEM=parallel_sum ${PROJECT_VERSION}"
                               -DSOURCE=${PROJECT_SOURCE_DIR}/doc/parallel_sum.1
                               -DOUTPUT=${manual_page}
                               -P ${CMAKE_CURRENT_LIST_DIR}/mdoc-to-man.cmake
                       DEPENDS ${PROJECT_SOURCE_DIR}/doc/parallel_sum.1
                               ${CMAKE_CURRENT_LIST_DIR}/mdoc-to-man.cmake
                       COMMENT "Making the manual page"
                       VERBATIM)
elseif(PARALLEL_SUM_REQUIRE_MANDOC)
    message(FATAL_ERROR "mandoc is needed to make the manual page of the packages and cannot "
                        "be found. On Debian: apt-get install mandoc")
else()
    message(STATUS "mandoc not found: the manual page is installed as written, and its header "
                   "under man-db names no version (Debian package mandoc)")
    add_custom_command(OUTPUT ${manual_page}
                       COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/parallel_sum.1
                               ${manual_page}
                       DEPENDS ${PROJECT_SOURCE_DIR}/doc/parallel_sum.1
                       VERBATIM)
endif()
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog)
add_custom_command(OUTPUT ${changelog}
                   COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/changelog ${changelog}
                   DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog
                   VERBATIM)

# Debian compresses manual pages and changelogs with gzip -9, and -n keeps the
# file's name and time out of the result so that builds are reproducible.
set(compressed "")
foreach(file ${manual_page} ${changelog})
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${file}.gz
                       COMMAND gzip -9nkf ${file}
                       DEPENDS ${file}
                       COMMENT "Compressing ${name}"
                       VERBATIM)
    list(APPEND compressed ${file}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed})

# Stripping (CPack's, or cmake --install --strip) leaves the compiler's
# .comment section, which a packaged binary does not need: remove it, and
# .note, as Debian's dh_strip does.
if(CMAKE_STRIP)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:parallel_sum>\"
                            COMMAND_ERROR_IS_FATAL ANY)
        endif()")
endif()

install(FILES ${manual_page}.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${changelog}.gz
              ${CMAKE_CURRENT_LIST_DIR}/copyright
        DESTINATION ${doc_dir})

# The source release, made by the target source_release with git archive from
# the commit checked out. CPack's package_source would pack the source
# directory as it is, build directories and all, so it is turned away (in
# cpack-project-config.cmake) with a pointer to this target.
set(source_top_directory ${PARALLEL_SUM_PACKAGE_NAME}-${PROJECT_VERSION})
add_custom_target(source_release
                  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
                          -DTOP_DIRECTORY=${source_top_directory}
                          -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/${source_top_directory}.tar.gz
                          -P ${CMAKE_CURRENT_LIST_DIR}/source-release.cmake
                  VERBATIM)
set(CPACK_SOURCE_GENERATOR TGZ)

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME ${PARALLEL_SUM_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "The parallel_sum authors")
set(CPACK_PACKAGE_CONTACT "${PARALLEL_SUM_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "add up 0 to 999 on a team of OpenMP threads")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# A cache entry, so that -DCPACK_STRIP_FILES=OFF keeps the symbols;
# DEB_BUILD_OPTIONS=nostrip at packaging time does too.
set(CPACK_STRIP_FILES ON CACHE BOOL "Strip the program in the packages")
set(CPACK_PACKAGE_FILE_NAME ${PARALLEL_SUM_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# CPack puts the summary above this as the description's first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "parallel_sum adds up the whole numbers 0 to 999 in single precision on a team
of threads started by the OpenMP runtime, and prints the total as one line.
It is a quick check of an OpenMP toolchain and runtime, and a small, complete
example of a parallel loop with a sum reduction; the team size comes from
OMP_NUM_THREADS and the other standard OpenMP variables.")
# Decided when packaging: DEB_BUILD_OPTIONS, whether the tools the .deb needs
# are there, and turning package_source away.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-project-config.cmake)
# Both generators take the files' times from SOURCE_DATE_EPOCH when it is set;
# what they would take from the builder (modes from the umask, the tarball's
# owner and order) is made the same for every builder after CPack has made them.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/normalise-packages.cmake)
include(CPack)
