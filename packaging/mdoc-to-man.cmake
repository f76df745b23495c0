# SPDX-License-Identifier: MIT

# Makes the man(7) page that is installed from the mdoc(7) source, with
# mandoc, naming OPERATING_SYSTEM where the page's .Os gives none:
#
#   cmake -DMANDOC=... -DOPERATING_SYSTEM=... -DSOURCE=... -DOUTPUT=... -P mdoc-to-man.cmake
#
# Any warning mandoc has about the page stops the build.
get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
file(MAKE_DIRECTORY "${output_dir}")
execute_process(COMMAND "${MANDOC}" -W warning -Tman "-Ios=${OPERATING_SYSTEM}" "${SOURCE}"
                OUTPUT_FILE "${OUTPUT}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE "${OUTPUT}")
    message(FATAL_ERROR "mandoc could not make a manual page from ${SOURCE} (status ${result})")
endif()
