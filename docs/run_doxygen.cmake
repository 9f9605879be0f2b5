# Runs Doxygen on DOXYFILE and prints how many warnings it wrote to LOG (one
# per "warning:" line, or "error:" when WARN_AS_ERROR turns them into errors). With WERROR set, any warning fails the build and the
# warnings are printed, so a CI log shows what is undocumented; the Doxyfile
# then also has WARN_AS_ERROR = FAIL_ON_WARNINGS, whose exit status counts too.
execute_process(COMMAND "${DOXYGEN}" "${DOXYFILE}" RESULT_VARIABLE rc)
set(lines "")
if(EXISTS "${LOG}")
  file(STRINGS "${LOG}" lines REGEX "(warning|error):")
endif()
list(LENGTH lines n)
message(STATUS "docs: ${n} Doxygen warnings (see ${LOG})")
if(WERROR AND (n GREATER 0 OR NOT rc EQUAL 0))
  foreach(line IN LISTS lines)
    message("${line}")
  endforeach()
  message(FATAL_ERROR "docs: Doxygen warnings are errors (VIZOR_DOCS_WERROR=ON), exit status ${rc}")
elseif(NOT rc EQUAL 0)
  message(FATAL_ERROR "docs: Doxygen failed with exit status ${rc}")
endif()
