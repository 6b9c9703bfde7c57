# The same source for 64-bit Windows (PE32+, x86-64): it runs the suite under 64-bit Wine on hosts
# that cannot execute 32-bit Linux programs, and hosts 64-bit Java runtimes.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(AGENT_ARCH x64)
set(AGENT_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
