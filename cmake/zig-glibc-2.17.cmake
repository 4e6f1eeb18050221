# The wheel's toolchain (scripts/wheel): zig's clang, compiling against
# glibc 2.17's symbols and linking its own C++ runtime (libc++) statically,
# so the module needs nothing from the system newer than glibc 2.17 and no
# C++ runtime at all. QUARNEL_ZIG names the zig program.
if(NOT DEFINED ENV{QUARNEL_ZIG})
  message(FATAL_ERROR "set QUARNEL_ZIG to the zig program (the ziglang package's)")
endif()
set(CMAKE_CXX_COMPILER "$ENV{QUARNEL_ZIG}" c++ -target x86_64-linux-gnu.2.17)
# zig keeps the frame pointer at every optimisation level; the system's
# compiler drops it, and the bound calls are short enough to feel it.
set(CMAKE_CXX_FLAGS_INIT -fomit-frame-pointer)
# zig binds every symbol at load by default; bound lazily, as the system's
# linker does, the module under another Python runs its version check before
# a symbol that Python lacks is looked up.
set(CMAKE_MODULE_LINKER_FLAGS_INIT -Wl,-z,lazy)
# Whole-program link-time optimisation, where CMake's default for clang is
# ThinLTO: it inlines more of the core and of libc++'s hashing into the calls.
set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${CMAKE_CURRENT_LIST_DIR}/zig-full-lto.cmake)

# CMake runs the archiver as one program, and with link-time optimisation it
# must be zig's, which indexes LLVM bitcode.
foreach(tool IN ITEMS ar ranlib)
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/zig-${tool}
    CONTENT "#!/bin/sh\nexec \"$ENV{QUARNEL_ZIG}\" ${tool} \"$@\"\n" @ONLY)
  file(CHMOD ${CMAKE_BINARY_DIR}/zig-${tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_AR ${CMAKE_BINARY_DIR}/zig-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_BINARY_DIR}/zig-ranlib CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_AR ${CMAKE_AR} CACHE FILEPATH "")
set(CMAKE_CXX_COMPILER_RANLIB ${CMAKE_RANLIB} CACHE FILEPATH "")
