# What both toolchain files share; each sets ORVANE_TRIPLET (and the processor) first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${ORVANE_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANE_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${ORVANE_TRIPLET}-windres)
set(ORVANE_DLLTOOL     ${ORVANE_TRIPLET}-dlltool)
set(ORVANE_WIDL        ${ORVANE_TRIPLET}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# ctest runs the Windows test programs through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
