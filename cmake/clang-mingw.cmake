# Shared by the two toolchain files: clang and lld for a MinGW-w64 target, on MinGW-w64's headers and
# import libraries and GCC's libstdc++ (posix threads), everything linked statically. Debug information
# is CodeView in a PDB beside each executable, the format Windows' own DbgHelp and debuggers read.
# Set AGENT_MINGW_TRIPLE before including this file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${AGENT_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${AGENT_MINGW_TRIPLE})
# Resources (the manifest, the version information): LLVM's windres, for the target's COFF machine,
# preprocessed by clang-14 named explicitly (it looks for an unversioned "clang" otherwise, and without
# one it skips the preprocessor with only a warning).
set(CMAKE_RC_COMPILER llvm-windres-14)
if(AGENT_MINGW_TRIPLE MATCHES "^i686")
  set(AGENT_RC_TARGET pe-i386)
else()
  set(AGENT_RC_TARGET pe-x86-64)
endif()
set(CMAKE_RC_FLAGS_INIT "--target=${AGENT_RC_TARGET} \"--preprocessor=clang-14 --target=${AGENT_MINGW_TRIPLE} -E -xc -DRC_INVOKED\"")
set(CMAKE_AR llvm-ar-14 CACHE FILEPATH "")
set(CMAKE_RANLIB llvm-ranlib-14 CACHE FILEPATH "")
set(CMAKE_SYSROOT /usr/${AGENT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${AGENT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find GCC's runtime below the "12-posix" folder by itself: libstdc++'s headers and
# libraries are named explicitly.
set(AGENT_GCC_DIR /usr/lib/gcc/${AGENT_MINGW_TRIPLE}/12-posix)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${AGENT_GCC_DIR}/include/c++ ${AGENT_GCC_DIR}/include/c++/${AGENT_MINGW_TRIPLE})
# -B: GCC's own crtbegin.o and crtend.o, not MinGW-w64's. On i686 exceptions unwind through DWARF
# frame tables that GCC's crtbegin.o registers with libgcc; without it every throw ends in abort().
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -B${AGENT_GCC_DIR} -L${AGENT_GCC_DIR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -B${AGENT_GCC_DIR} -L${AGENT_GCC_DIR}")
# libstdc++'s threads and libgcc's emulated TLS call into winpthreads, which the driver does not add.
set(CMAKE_C_STANDARD_LIBRARIES "-Wl,-Bstatic -lwinpthread" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,-Bstatic -lwinpthread" CACHE STRING "")
