# Cross build for aarch64 Linux with Debian's aarch64-linux-gnu toolchain; tests run
# under qemu-user. The target's run-time libraries are Debian's multiarch
# packages (libc6:arm64, libstdc++6:arm64, installed beside the host's), which
# the emulator finds at their usual paths. (The cross toolchain's own copy in
# /usr/aarch64-linux-gnu, given with -L, can be an older glibc than the multiarch
# libraries the tests link, and a loader of one release with a libc of
# another hangs or crashes in thread creation.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# Target libraries are Debian's multiarch packages (/usr/lib/<triple>) or
# built in the build tree; CMAKE_LIBRARY_ARCHITECTURE points the searches at
# the former.
