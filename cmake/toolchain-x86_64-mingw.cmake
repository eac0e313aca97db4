# The 64-bit Windows build (the .sph plug-ins).
set(KALDORIN_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
