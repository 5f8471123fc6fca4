# Cross-build for Windows x64 with Debian's mingw-w64 (posix thread model: std::thread and
# std::mutex need it), run under wine. OpenSSL comes from .cache/windows-openssl, cross-built
# by scripts/bootstrap --windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVRIN_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVRIN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVRIN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVRIN_MINGW}-windres)

get_filename_component(TAVRIN_WINDOWS_OPENSSL "${CMAKE_CURRENT_LIST_DIR}/../.cache/windows-openssl" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${TAVRIN_MINGW} ${TAVRIN_WINDOWS_OPENSSL})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${TAVRIN_WINDOWS_OPENSSL})
set(OPENSSL_USE_STATIC_LIBS TRUE)

# No runtime DLLs beside the program: libgcc, libstdc++ and winpthreads are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest and test discovery run the Windows executables through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
