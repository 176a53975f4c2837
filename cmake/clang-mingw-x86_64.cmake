# The same cross build with Debian's Clang for the MinGW target, against the headers and
# libraries of the mingw-w64 GCC that the main cross build uses: a second compiler's warnings.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Debian keeps that GCC's C++ library under a folder named "12-posix", where Clang looks only for
# a bare version number: name it.
file(GLOB IRONVALE_MINGW_GCC /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
list(GET IRONVALE_MINGW_GCC 0 IRONVALE_MINGW_GCC)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${IRONVALE_MINGW_GCC}/include/c++ -isystem ${IRONVALE_MINGW_GCC}/include/c++/x86_64-w64-mingw32 -isystem ${IRONVALE_MINGW_GCC}/include/c++/backward")
# GCC's posix driver links winpthreads after libgcc_eh, which needs it; Clang's driver puts
# libgcc_eh last, so the whole of winpthreads goes in first.
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-L${IRONVALE_MINGW_GCC} -Wl,--whole-archive -lpthread -Wl,--no-whole-archive")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
