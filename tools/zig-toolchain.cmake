# Builds with Zig's C/C++ compiler (the `ziglang` package on PyPI) for one
# target such as x86_64-linux-gnu.2.17 or aarch64-linux-gnu.2.17: the module
# then asks for nothing newer than that glibc, carries its own libc++ (linked
# statically), and can be built for another architecture on this machine.
#
#   -DCMAKE_TOOLCHAIN_FILE=tools/zig-toolchain.cmake
#   -DFERROW_ZIG=/path/to/ziglang/zig -DFERROW_ZIG_TARGET=aarch64-linux-gnu.2.17
#
# CMake wants one executable per compiler, so the toolchain writes two small
# wrappers that add the target to every call. They also make every link
# position-independent, stripped and optimised, as the module's is: Zig builds
# its libc++ and runtime libraries anew for each such combination, and CMake's
# test programs would otherwise cost a second build of them (CMake's own -O3
# comes later on the command line and wins). The wheel carries no debug
# information: it would be some 16 times its size.

# try_compile projects read this file again; they get the two settings from here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FERROW_ZIG FERROW_ZIG_TARGET)
if(NOT FERROW_ZIG OR NOT FERROW_ZIG_TARGET)
  message(FATAL_ERROR "zig-toolchain.cmake needs FERROW_ZIG and FERROW_ZIG_TARGET")
endif()

string(REGEX MATCH "^[^-]+" FERROW_ZIG_ARCH "${FERROW_ZIG_TARGET}")
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${FERROW_ZIG_ARCH})

set(wrappers "${CMAKE_BINARY_DIR}/zig-${FERROW_ZIG_TARGET}")
foreach(tool cc c++ ar ranlib)
  if(tool MATCHES "^(cc|c\\+\\+)$")
    set(call "\"${FERROW_ZIG}\" ${tool} -target ${FERROW_ZIG_TARGET} -fPIC -s -O2")
  else()
    set(call "\"${FERROW_ZIG}\" ${tool}")
  endif()
  file(WRITE "${wrappers}/${tool}.tmp" "#!/bin/sh\nexec ${call} \"$@\"\n")
  file(CHMOD "${wrappers}/${tool}.tmp" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(RENAME "${wrappers}/${tool}.tmp" "${wrappers}/${tool}")
endforeach()

set(CMAKE_C_COMPILER "${wrappers}/cc")
set(CMAKE_CXX_COMPILER "${wrappers}/c++")
set(CMAKE_AR "${wrappers}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${wrappers}/ranlib" CACHE FILEPATH "" FORCE)

# The module exports PyInit_ferrow alone: the libc++ linked into it and the
# engine stay private to it, whatever else the interpreter has loaded.
file(WRITE "${wrappers}/module.map" "{ global: PyInit_ferrow; local: *; };\n")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${wrappers}/module.map")
