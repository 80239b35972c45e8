# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads,
# which Qt's MinGW build uses), and runs the tests under wine.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-toolchain.cmake \
#         -DCMAKE_PREFIX_PATH="<qt5-mingw>;<sqlite3-mingw>" ...
#
# `./dev test --windows` does all of it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)
set(CMAKE_STRIP /usr/bin/${mingw_triplet}-strip)

# Libraries and packages only from the MinGW sysroot and the prefixes given
# (the Qt and SQLite built for MinGW), never the host's; programs (moc, uic,
# rcc are Linux programs in the Qt prefix) from anywhere.
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest starts each test .exe through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
