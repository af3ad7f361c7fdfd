# Cross-building trellick-cli.exe for 64-bit Windows with Debian's mingw-w64
# (the posix thread model, for std::thread). scripts/build-windows.sh puts
# the folder where it built SQLite and PCRE2 in TRELLICK_WIN_DEPS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TRELLICK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TRELLICK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRELLICK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TRELLICK_MINGW}-windres)

# From the environment: CMake's trial builds read this file again without
# the cache.
set(TRELLICK_WIN_DEPS "$ENV{TRELLICK_WIN_DEPS}")
set(CMAKE_FIND_ROOT_PATH /usr/${TRELLICK_MINGW} ${TRELLICK_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the Windows libraries' files.
set(ENV{PKG_CONFIG_LIBDIR} "${TRELLICK_WIN_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# One file to copy: the C and C++ runtimes and the thread library linked in,
# so the program needs only the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
