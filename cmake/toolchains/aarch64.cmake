# Cross build for aarch64 Linux with Debian's aarch64-linux-gnu toolchain; tests run
# under qemu-aarch64 with the target's libraries from /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64;-L;/usr/aarch64-linux-gnu)
# Target libraries are Debian's multiarch packages (/usr/lib/<triple>) or
# built in the build tree; CMAKE_LIBRARY_ARCHITECTURE points the searches at
# the former.
