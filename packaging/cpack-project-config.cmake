# SPDX-License-Identifier: MIT

# Read by CPack before it makes each package (CPACK_PROJECT_CONFIG_FILE), so
# what it checks and honours is the environment of the packaging run.

# CPack's source packages (package_source) hold the source directory as it
# is, build directories and untracked files included. Only CPack's source
# configuration sets CPACK_INSTALLED_DIRECTORIES.
if(CPACK_INSTALLED_DIRECTORIES)
    message(FATAL_ERROR "package_source is not used to make the source release: "
                        "build the target source_release instead, for example "
                        "cmake --build --preset package --target source_release")
endif()

# Debian's way of asking for binaries that keep their symbols.
if("$ENV{DEB_BUILD_OPTIONS}" MATCHES "(^|[ \t,])nostrip([ \t,]|$)")
    set(CPACK_STRIP_FILES OFF)
endif()

# Without dpkg-shlibdeps (or file, which CPack uses to find the binaries to
# give it) CPack still makes the .deb, with no Depends field at all: a package
# that installs without its libraries. Stop instead.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(missing "")
    foreach(tool IN ITEMS dpkg-shlibdeps file)
        find_program(tool_path_${tool} ${tool})
        if(NOT tool_path_${tool})
            list(APPEND missing ${tool})
        endif()
    endforeach()
    if(missing)
        list(JOIN missing " and " missing)
        message(FATAL_ERROR
            "Making the .deb needs dpkg-shlibdeps and file, to work out the package's "
            "dependencies, and ${missing} cannot be found. "
            "On Debian: apt-get install dpkg-dev file")
    endif()
endif()
