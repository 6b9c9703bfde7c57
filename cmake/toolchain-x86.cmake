# The shipped program: 32-bit Windows (PE32, i386).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(AGENT_ARCH x86)
set(AGENT_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
