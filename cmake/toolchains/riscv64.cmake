# Cross build for riscv64 Linux with Debian's riscv64-linux-gnu toolchain; tests run
# under qemu-riscv64 with the target's libraries from /usr/riscv64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(CMAKE_C_COMPILER riscv64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER riscv64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE riscv64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-riscv64;-L;/usr/riscv64-linux-gnu)
# Target libraries are Debian's multiarch packages (/usr/lib/<triple>) or
# built in the build tree; CMAKE_LIBRARY_ARCHITECTURE points the searches at
# the former.
