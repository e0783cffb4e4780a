# SPDX-License-Identifier: BSD-2-Clause
# 32-bit x86 build on a 64-bit host. The kernel here cannot run i386
# binaries, so tests run them under qemu-user's qemu-i386; marking the
# build as cross-compiled makes CMake prepend the emulator to every test.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
# RPATH rather than RUNPATH, so that the unpacked i386 ICU's own
# libraries (libicudata) are found through the executable's path too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -Wl,--disable-new-dtags")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
find_program(QUORLIN_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QUORLIN_QEMU_I386})
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
# The i386 ICU that scripts/install-deps.sh --test unpacks into build/;
# its headers are the host's, which are the same for every architecture.
set(QUORLIN_I386_DEPS ${CMAKE_CURRENT_LIST_DIR}/../build/i386-deps/usr)
list(APPEND CMAKE_PREFIX_PATH ${QUORLIN_I386_DEPS})
set(ICU_INCLUDE_DIR /usr/include CACHE PATH "ICU headers")
# The module opens ICU with dlopen, which searches the executable's RPATH.
set(CMAKE_BUILD_RPATH ${QUORLIN_I386_DEPS}/lib/i386-linux-gnu)
