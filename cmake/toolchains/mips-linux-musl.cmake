# Static build for big-endian 32-bit MIPS Linux with musl and mbedTLS, as
# OpenWrt-style firmware carries it: one file, nothing else needed on the
# device. The target is MIPS32r2 with software floating point, for the
# FPU-less cores of most routers. The compiler is Zig's clang (`zig c++
# -target mips-linux-musl -mcpu=mips32r2+soft_float`, in the wrappers of
# scripts/fetch-zig.sh), which brings musl, libc++ and compiler-rt built for
# that target; Debian has no musl C++ cross compiler. scripts/mips.sh --musl
# sets everything up:
#
#   cmake -S . -B build/mips-musl \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mips-linux-musl.cmake \
#     -DVTCLIENT_MBEDTLS_ROOT=$(scripts/build-mips-mbedtls.sh --print)
#
# VTCLIENT_ZIG_BIN        the compiler wrappers of scripts/fetch-zig.sh
# VTCLIENT_MBEDTLS_ROOT   prefix of the MIPS musl libmbedcrypto (include/, lib/)
# Test programs run under qemu-mips-static as a 24Kc, which has no FPU: an
# FPU instruction kills the program (SIGILL) as it would on the router. A
# static program needs no -L.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(vt_cache "$ENV{VTCLIENT_MIPS_CACHE}")
if(NOT vt_cache)
  set(vt_cache "$ENV{HOME}/.cache/vtclient-mips")
endif()
if(NOT VTCLIENT_ZIG_BIN)
  set(VTCLIENT_ZIG_BIN "${vt_cache}/zig-0.11.0/bin")
endif()
if(NOT VTCLIENT_MBEDTLS_ROOT)
  set(VTCLIENT_MBEDTLS_ROOT "${vt_cache}/mbedtls-musl-mips32r2-sf")
endif()
set(VTCLIENT_ZIG_BIN "${VTCLIENT_ZIG_BIN}" CACHE PATH "Zig compiler wrappers for mips-linux-musl")
set(VTCLIENT_MBEDTLS_ROOT "${VTCLIENT_MBEDTLS_ROOT}" CACHE PATH "Prefix of the MIPS musl mbedTLS")
set(VTCLIENT_CRYPTO mbedtls CACHE STRING "Cipher library of the channel: openssl or mbedtls")
# The C++ runtime is linked in: its demangler (a sixth of the program, for
# one abort message) stays out (daemon/no_demangler.cc).
set(VTCLIENT_NO_DEMANGLER ON CACHE BOOL "Leave the C++ runtime's demangler out of vtclient")

# Toolchain files are read again for every try-compile; pass the settings on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VTCLIENT_ZIG_BIN VTCLIENT_MBEDTLS_ROOT)

set(CMAKE_C_COMPILER   "${VTCLIENT_ZIG_BIN}/mips-linux-musl-cc")
set(CMAKE_CXX_COMPILER "${VTCLIENT_ZIG_BIN}/mips-linux-musl-c++")
set(CMAKE_AR     "${VTCLIENT_ZIG_BIN}/mips-linux-musl-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${VTCLIENT_ZIG_BIN}/mips-linux-musl-ranlib" CACHE FILEPATH "Ranlib")
# `cmake --install --strip` takes binutils' MIPS strip (CMake looks for one
# only beside the compiler, where the zig wrappers have none).
find_program(VTCLIENT_MIPS_STRIP mips-linux-gnu-strip REQUIRED)
set(CMAKE_STRIP "${VTCLIENT_MIPS_STRIP}" CACHE FILEPATH "Strip")

# Fully static; unused functions and data are dropped at link time, and so
# are the procedure descriptors (mips-discard-pdr.ld).
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-static -Wl,--gc-sections -Wl,-T,${CMAKE_CURRENT_LIST_DIR}/mips-discard-pdr.ld")
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")

# Libraries and headers: Zig's own (musl, libc++) and the MIPS mbedTLS only,
# never the host's; programs (python, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH "${VTCLIENT_MBEDTLS_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${VTCLIENT_MBEDTLS_ROOT}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# GoogleTest from the sources of libgtest-dev, built with this compiler.
set(GTest_DIR "${CMAKE_CURRENT_LIST_DIR}/../cross/gtest" CACHE PATH "GoogleTest built from source")

find_program(VTCLIENT_QEMU qemu-mips-static qemu-mips)
if(VTCLIENT_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${VTCLIENT_QEMU};-cpu;24Kc")
endif()
