# The 32-bit build with clang, for its sanitizers (make ubsan-test).
include(${CMAKE_CURRENT_LIST_DIR}/i386-linux.cmake)
set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
