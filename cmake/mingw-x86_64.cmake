# Cross-compiles the same sources as 64-bit Windows programs, for running the tests on a host
# whose kernel runs no 32-bit code (Wine's 32-bit loader cannot start there). The deliverables
# that ship are always the 32-bit build of mingw-i686.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVANE_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
