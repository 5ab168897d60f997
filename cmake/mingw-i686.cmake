# Cross-compiles the 32-bit Windows deliverables with mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ORVANE_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
