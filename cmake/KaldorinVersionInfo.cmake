# kaldorin_version_resource(TARGET DESCRIPTION): on Windows, gives TARGET's
# DLL or EXE a VERSIONINFO resource (cmake/kaldorin-version.rc.in) with the
# project version, the file's name and DESCRIPTION, so that Explorer's
# properties and the viewers' plug-in lists show what the file is. Natively
# it does nothing.
if(WIN32)
  enable_language(RC)
endif()

function(kaldorin_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(prefix ${target} PREFIX)
  get_target_property(suffix ${target} SUFFIX)
  if(type STREQUAL "EXECUTABLE")
    set(KALDORIN_RC_FILE_TYPE VFT_APP)
    set(default_suffix ${CMAKE_EXECUTABLE_SUFFIX})
  else()
    set(KALDORIN_RC_FILE_TYPE VFT_DLL)
    set(default_suffix ${CMAKE_SHARED_LIBRARY_SUFFIX})
  endif()
  if(NOT prefix)
    set(prefix "")
  endif()
  if(NOT suffix)
    set(suffix ${default_suffix})
  endif()
  set(KALDORIN_RC_INTERNAL_NAME ${target})
  set(KALDORIN_RC_FILE_NAME "${prefix}${target}${suffix}")
  set(KALDORIN_RC_DESCRIPTION "${description}")
  # FILEVERSION takes four numbers: 0.9.0 is 0,9,0,0.
  set(KALDORIN_RC_VERSION_COMMAS
      "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kaldorin-version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
