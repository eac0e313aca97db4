# Run by cpack (CPACK_POST_BUILD_SCRIPTS) on the finished Windows zip:
# strip-nondeterminism sorts the members by name and gives every member one
# time, SOURCE_DATE_EPOCH or else the time of the source tree's last commit,
# in place of the staged files' times (libarchive also stores their access
# and change times), so that one commit gives the same zip bytes whenever
# and wherever it is made.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${CPACK_KALDORIN_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE git_result)
  if(NOT git_result EQUAL 0)
    set(epoch "")
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "kaldorin: zip member times: set SOURCE_DATE_EPOCH or build from a git checkout")
endif()
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND strip-nondeterminism --type zip --timestamp ${epoch} ${zip}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "kaldorin: ${zip}: strip-nondeterminism failed (Debian: apt-get install strip-nondeterminism)")
  endif()
endforeach()
