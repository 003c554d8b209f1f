# Cross build of the program for aarch64 with Debian's cross compiler
# (g++-aarch64-linux-gnu) and the arm64 builds of musl, zlib, libdeflate and
# libsodium (musl-dev:arm64, zlib1g-dev:arm64, libdeflate-dev:arm64,
# libsodium-dev:arm64).  `make cross` configures with this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
