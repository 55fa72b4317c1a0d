# Fetches a Debian source package with `apt-get source` and unpacks it (Debian's patches
# applied) into DEST. Run as a script: cmake -DPACKAGE=name -DVERSION=v -DDEST=dir -P this.
# The archive needs a deb-src entry (scripts/install-windows-deps.sh adds one).
foreach(var PACKAGE VERSION DEST)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "FetchDebianSource: ${var} is not set")
  endif()
endforeach()

set(stage "${DEST}.download")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}")
execute_process(
  COMMAND apt-get source -qq --only-source "${PACKAGE}=${VERSION}"
  WORKING_DIRECTORY "${stage}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(GLOB unpacked LIST_DIRECTORIES true "${stage}/${PACKAGE}-*")
list(FILTER unpacked EXCLUDE REGEX "\\.(tar\\..*|dsc)$")
if(NOT result EQUAL 0 OR NOT unpacked)
  message(FATAL_ERROR "apt-get source ${PACKAGE}=${VERSION} failed (is there a deb-src entry? "
                      "run scripts/install-windows-deps.sh):\n${output}")
endif()
file(REMOVE_RECURSE "${DEST}")
file(RENAME "${unpacked}" "${DEST}")
file(REMOVE_RECURSE "${stage}")
