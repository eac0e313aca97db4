# The fuzz targets and what they share, for the two builds of them: the
# libFuzzer programs of the fuzz preset (fuzz/CMakeLists.txt) and the replay
# programs of the test builds (fuzz/replay/CMakeLists.txt). Target NAME is
# fuzz/NAME_fuzzer.cpp and loads the plug-in its name starts with.
set(KALDORIN_FUZZ_TARGETS
  glimmet_is_supported glimmet_get_picture_info glimmet_get_picture
  chestrel_is_supported chestrel_get_archive_info chestrel_get_file_info chestrel_get_file
  glimmet_roundtrip)
# The gdk-pixbuf loader's incremental loads, where the loader is built.
if(TARGET pixbuf_loader)
  list(APPEND KALDORIN_FUZZ_TARGETS pixbuf_loader_increments)
endif()
set(KALDORIN_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR})

# The helpers every target links: controls, guard pages, leak checks, the
# PACK model (shared with the tests), the reference decoder (its codes come from our encoder's code
# book) and the host's plug-in loader.
function(kaldorin_add_fuzz_support)
  add_library(fuzz_support STATIC
    ${KALDORIN_FUZZ_DIR}/fuzz_support.cpp
    ${PROJECT_SOURCE_DIR}/tests/pack_model.cpp
    ${PROJECT_SOURCE_DIR}/tests/i24b_model.cpp
    ${PROJECT_SOURCE_DIR}/tests/plugin_host.cpp
    ${PROJECT_SOURCE_DIR}/tests/test_files.cpp)
  target_include_directories(fuzz_support PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(fuzz_support PUBLIC kaldorin_platform i24b_encoder ${CMAKE_DL_LIBS})
endfunction()

# kaldorin_add_fuzz_program(PROGRAM TARGET SOURCES...): PROGRAM built from
# TARGET's source and SOURCES, depending on the plug-in (or the gdk-pixbuf
# loader) it loads.
function(kaldorin_add_fuzz_program program target)
  add_executable(${program} ${KALDORIN_FUZZ_DIR}/${target}_fuzzer.cpp ${ARGN})
  target_link_libraries(${program} PRIVATE fuzz_support)
  if(target MATCHES "^pixbuf_loader")
    target_link_libraries(${program} PRIVATE PkgConfig::GDK_PIXBUF)
    target_compile_definitions(${program} PRIVATE KALDORIN_PIXBUF_MODULE="$<TARGET_FILE:pixbuf_loader>")
    add_dependencies(${program} pixbuf_loader)
    return()
  endif()
  string(REGEX MATCH "^[a-z]+" plugin ${target})
  add_dependencies(${program} ${plugin})
endfunction()
