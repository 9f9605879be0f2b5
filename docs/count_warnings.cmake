# Prints the number of Doxygen warnings in LOG (one per "warning:" line).
file(STRINGS "${LOG}" lines REGEX "warning:")
list(LENGTH lines n)
message(STATUS "docs: ${n} Doxygen warnings (see ${LOG})")
