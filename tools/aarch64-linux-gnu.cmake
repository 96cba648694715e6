# Cross-compiling kelto for 64-bit ARM Linux in the x86-64 build root, for the
# aarch64 wheel (tools/inside.sh build_wheel_aarch64). The root has Debian's
# cross compiler, whose search path includes the multiarch folders where
# libpython3.14-dev:arm64 puts the target's pyconfig.h and libpython, and
# qemu-user to run the one target program of the build (kelto_introspect).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++-14)
# The cross compiler's own runtime (libstdc++, libgcc_s) is not in the
# multiarch folders the target's loader searches.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)

# Programs (the interpreter that runs the generators) are the build machine's;
# libraries and headers are the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The interpreter found is the build machine's, so its answers about the
# target are replaced: the module's suffix and the library to embed.
set(Python3_SOABI cpython-314-aarch64-linux-gnu CACHE STRING "")
set(Python3_LIBRARY /usr/lib/aarch64-linux-gnu/libpython3.14.so CACHE FILEPATH "")
