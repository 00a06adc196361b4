# Cross build for ppc64le Linux with Debian's powerpc64le-linux-gnu toolchain; tests run
# under qemu-user. The target's run-time libraries are Debian's multiarch
# packages (libc6:ppc64el, libstdc++6:ppc64el, installed beside the host's), which
# the emulator finds at their usual paths. (The cross toolchain's own copy in
# /usr/powerpc64le-linux-gnu, given with -L, can be an older glibc than the multiarch
# libraries the tests link, and a loader of one release with a libc of
# another hangs or crashes in thread creation.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(CMAKE_C_COMPILER powerpc64le-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc64le-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE powerpc64le-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc64le)
# Target libraries are Debian's multiarch packages (/usr/lib/<triple>) or
# built in the build tree; CMAKE_LIBRARY_ARCHITECTURE points the searches at
# the former.
