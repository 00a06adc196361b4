# Cross build for ppc64le Linux with Debian's powerpc64le-linux-gnu toolchain; tests run
# under qemu-ppc64le with the target's libraries from /usr/powerpc64le-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(CMAKE_C_COMPILER powerpc64le-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc64le-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE powerpc64le-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc64le;-L;/usr/powerpc64le-linux-gnu)
# Target libraries are Debian's multiarch packages (/usr/lib/<triple>) or
# built in the build tree; CMAKE_LIBRARY_ARCHITECTURE points the searches at
# the former.
