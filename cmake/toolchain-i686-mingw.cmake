# The 32-bit Windows build (the .spi deliverables).
set(KALDORIN_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
