# The Windows release zip, kaldorin-VERSION-windows.zip:
#   x86/  glimmet.spi, chestrel.spi, kaldorin.exe   (the win32 build)
#   x64/  glimmet.sph, chestrel.sph, kaldorin.exe   (the win64 build)
#   README-Windows.txt, LICENSE.txt                 (CRLF line ends)
# Each Windows build installs its DLLs and kaldorin.exe as the component
# "windows" to the install root; the 32-bit build also installs the texts as
# the component "windows_docs". The CPack configuration written here
# (CPackWindowsZip.cmake in the build folder) puts the two builds' components
# side by side in one zip; scripts/make-windows-zip.sh builds both presets
# and runs cpack on it.
if(NOT WIN32)
  return()
endif()

# cpack installs each part through the build's preinstall target, which
# would otherwise build every test program and benchmark first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# The files alone: not the import libraries that the DLL targets also make.
install(PROGRAMS $<TARGET_FILE:glimmet> $<TARGET_FILE:chestrel> $<TARGET_FILE:kaldorin>
        DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)

# Plain texts for Notepad: CRLF line ends, whatever the checkout has.
function(kaldorin_crlf_copy from to)
  file(READ ${from} text)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${from})
  string(REPLACE "\r" "" text "${text}")
  file(CONFIGURE OUTPUT ${to} CONTENT "${text}" @ONLY NEWLINE_STYLE CRLF)
endfunction()
set(kaldorin_zip_texts ${CMAKE_BINARY_DIR}/windows-zip-texts)
kaldorin_crlf_copy(${PROJECT_SOURCE_DIR}/docs/README-Windows.txt ${kaldorin_zip_texts}/README-Windows.txt)
kaldorin_crlf_copy(${PROJECT_SOURCE_DIR}/LICENSE ${kaldorin_zip_texts}/LICENSE.txt)
install(FILES ${kaldorin_zip_texts}/README-Windows.txt ${kaldorin_zip_texts}/LICENSE.txt
        DESTINATION . COMPONENT windows_docs EXCLUDE_FROM_ALL)

# The zip's parts: (build folder, project, component, folder in the zip).
# The build folders are the presets' unless cpack is given
# -D CPACK_INSTALL_CMAKE_PROJECTS=... (scripts/check-reproducible.sh does).
set(KALDORIN_ZIP_WIN32_BUILD ${PROJECT_SOURCE_DIR}/build/win32 CACHE PATH "The win32 build folder that the Windows zip takes")
set(KALDORIN_ZIP_WIN64_BUILD ${PROJECT_SOURCE_DIR}/build/win64 CACHE PATH "The win64 build folder that the Windows zip takes")
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${KALDORIN_ZIP_WIN32_BUILD};${PROJECT_NAME};windows;/x86"
    "${KALDORIN_ZIP_WIN64_BUILD};${PROJECT_NAME};windows;/x64"
    "${KALDORIN_ZIP_WIN32_BUILD};${PROJECT_NAME};windows_docs;/")
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/windows-zip)
set(CPACK_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackWindowsZip.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackWindowsZipSource.cmake)
# Members sorted, one time for all (see the script).
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/KaldorinZipReproducible.cmake)
set(CPACK_KALDORIN_SOURCE_DIR ${PROJECT_SOURCE_DIR})
include(CPack)
