# kaldorin_add_plugin(NAME DEF_FILE SOURCES...): a plug-in named NAME.spi in
# the top of the build folder (NAME.sph for 64-bit Windows, the name 64-bit
# hosts look for). On Windows its exports are named by the .def
# file (plain names, no stdcall decoration); natively only the exports are
# visible and the platform stand-in is found through $ORIGIN.
function(kaldorin_add_plugin name def_file)
  add_library(${name} SHARED ${ARGN})
  if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(suffix ".sph")
  else()
    set(suffix ".spi")
  endif()
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX "${suffix}"
                        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE plugin_runtime)
  target_compile_options(${name} PRIVATE ${KALDORIN_PLUGIN_OPTIONS})
  if(WIN32)
    target_sources(${name} PRIVATE ${def_file})
    target_link_libraries(${name} PRIVATE winmm)
    # Exports are undecorated; release DLLs carry no debug sections.
    target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup $<$<CONFIG:Release>:-s>)
  else()
    target_link_libraries(${name} PRIVATE kaldorin_platform)
    set_target_properties(${name} PROPERTIES BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN")
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
