# Cross-compiles relayhub for 64-bit Windows with mingw-w64 (posix thread
# model, so std::thread and std::mutex exist) into self-contained static
# programs, and runs the tests under wine.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DRELAYHUB_OPENSSL_ROOT=<prefix> ...
# <prefix> is what scripts/build-openssl-mingw prints.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

set(RELAYHUB_OPENSSL_ROOT "$ENV{RELAYHUB_OPENSSL_ROOT}" CACHE PATH "OpenSSL built for mingw64")
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${RELAYHUB_OPENSSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${RELAYHUB_OPENSSL_ROOT})
set(OPENSSL_USE_STATIC_LIBS TRUE)

# One relayhub.exe that needs only the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
