# Cross build for the receiver: 32-bit big-endian PowerPC Linux, with Debian's
# g++-powerpc-linux-gnu. Binaries run on the build host under qemu-user; no
# binfmt handler is assumed, so the emulator is named here and CMake puts it in
# front of every test command and of GoogleTest's test discovery.
#
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(NC_PPC_TRIPLE powerpc-linux-gnu)
set(NC_PPC_SYSROOT /usr/${NC_PPC_TRIPLE})

set(CMAKE_C_COMPILER ${NC_PPC_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${NC_PPC_TRIPLE}-g++)

# Look for libraries and headers of the target only in the target's tree;
# programs run during the build are the host's.
set(CMAKE_FIND_ROOT_PATH ${NC_PPC_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L tells qemu where the target's dynamic loader and libraries live.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-ppc;-L;/usr/powerpc-linux-gnu")
