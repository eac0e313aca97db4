# The Debian package of the native build: `cpack -G DEB` in a build folder
# configured with CMAKE_INSTALL_PREFIX=/usr (scripts/make-deb.sh) makes
# kaldorin_<version>_<arch>.deb of everything the install rules install: the
# tool, its plug-ins and platform stand-in in /usr/lib/<multiarch>/kaldorin,
# the man page and completion, the gdk-pixbuf loader, the MIME types, the
# thumbnailer entry and the Qt 5 and Qt 6 image plug-ins, with the copyright
# file and changelog Debian wants.
#
# Reproducible: with SOURCE_DATE_EPOCH set (the script takes the last
# commit's time), CMake's DEB generator (3.13 and later) gives every member of
# the package, the files' own times included, that time, and the changelog is
# dated by it; the man page and changelog are gzipped without name and time.
include(GNUInstallDirs)

set(KALDORIN_DEB_MAINTAINER "The kaldorin developers <kaldorin@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(KALDORIN_DEB_RELEASE 1 CACHE STRING "Debian revision of the package")
set(KALDORIN_DEB_VERSION ${PROJECT_VERSION}-${KALDORIN_DEB_RELEASE})

set(kaldorin_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kaldorin)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${kaldorin_doc_dir})
# The changelog, dated when the sources were (string(TIMESTAMP) honours
# SOURCE_DATE_EPOCH), gzipped without name or time.
string(TIMESTAMP KALDORIN_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/debian/changelog.Debian
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
                RESULT_VARIABLE kaldorin_gzip_result)
if(NOT kaldorin_gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip could not compress the Debian changelog")
endif()
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz DESTINATION ${kaldorin_doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME kaldorin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kaldorin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KALDORIN_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tool, gdk-pixbuf loader and Qt plug-ins for KALDORIN pictures and archives")
set(CPACK_PACKAGE_DESCRIPTION
    "kaldorin decodes, lists and extracts KALDORIN data files through Susie-API\n"
    "plug-ins, and writes I24B pictures and PACK archives. The package holds the\n"
    "command-line tool with its two plug-ins (glimmet for I24B pictures, chestrel\n"
    "for PACK archives), a gdk-pixbuf loader with MIME types and a thumbnailer,\n"
    "so that GTK viewers and file managers show I24B pictures, and Qt 5 and Qt 6\n"
    "image plug-ins, so that Qt and KDE programs read and write them.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${KALDORIN_DEB_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the binaries' needs (dpkg-shlibdeps); the platform stand-in
# is the package's own, in its private folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_INSTALL_FULL_LIBDIR}/kaldorin)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/finish-staging.cmake)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)
include(CPack)
