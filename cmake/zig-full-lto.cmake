# Read by CMake after its clang defaults (see zig-glibc-2.17.cmake).
set(CMAKE_CXX_COMPILE_OPTIONS_IPO -flto=full)
