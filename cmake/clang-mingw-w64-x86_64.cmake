# Cross-compiles the same 64-bit Windows executables with clang instead of GCC: a second
# compiler's view of the code (tests/CMakeLists.txt: the clang_build test). clang targets
# MinGW-w64 and uses GCC's C++ library and runtime, posix thread model, as the GCC build
# does, and links with lld.
# The GCC toolchain's target, resource compiler, search roots and Wine, with clang as the
# compiler.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})

# The MinGW-w64 headers and libraries are the sysroot, so clang never searches the
# Linux /usr/include. GCC's C++ headers and runtime libraries come from its posix
# thread-model folder (Debian: /usr/lib/gcc/x86_64-w64-mingw32/<version>-posix).
set(CMAKE_SYSROOT /usr/${TOOLCHAIN_PREFIX})
file(GLOB KX_GCC_POSIX_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${TOOLCHAIN_PREFIX}/*-posix)
list(SORT KX_GCC_POSIX_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET KX_GCC_POSIX_DIRS 0 KX_GCC_POSIX)
if(NOT IS_DIRECTORY "${KX_GCC_POSIX}/include/c++")
  message(FATAL_ERROR "No MinGW-w64 GCC posix C++ headers under /usr/lib/gcc/${TOOLCHAIN_PREFIX}")
endif()
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${KX_GCC_POSIX}/include/c++ \
-isystem ${KX_GCC_POSIX}/include/c++/${TOOLCHAIN_PREFIX} -isystem ${KX_GCC_POSIX}/include/c++/backward")
# Static C++ library and runtime, as -static does for GCC: the programs import no
# MinGW DLL (libstdc++-6.dll, libgcc_s_seh-1.dll, libwinpthread-1.dll). The C++ header
# flags above reach the link step too, where clang would warn that they go unused.
set(KX_CLANG_LINK "-Wno-unused-command-line-argument -fuse-ld=lld -L${KX_GCC_POSIX} -static-libstdc++ -static-libgcc -pthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KX_CLANG_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KX_CLANG_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KX_CLANG_LINK}")
