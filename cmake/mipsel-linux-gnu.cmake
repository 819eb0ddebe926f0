# Cross build for the device: 32-bit little-endian MIPS Linux. Defaults suit
# Debian's cross compiler (g++-mipsel-linux-gnu) and user-mode qemu
# (qemu-user); a vendor SDK sets its own prefix and sysroot, e.g.
#   -DKESTROV_CROSS_PREFIX=/opt/sdk/bin/mipsel-openwrt-linux- -DKESTROV_SYSROOT=/opt/sdk/sysroot
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(KESTROV_CROSS_PREFIX "mipsel-linux-gnu-" CACHE STRING "Path and prefix of the cross tools (PREFIXg++, PREFIXstrip)")
set(KESTROV_SYSROOT "" CACHE PATH "Target root file system; empty uses the cross compiler's own")
set(KESTROV_EMULATOR "qemu-mipsel" CACHE STRING "User-mode emulator that runs target programs here")

set(CMAKE_CXX_COMPILER "${KESTROV_CROSS_PREFIX}g++")
if(KESTROV_SYSROOT)
  set(CMAKE_SYSROOT "${KESTROV_SYSROOT}")
  set(emulatorRoot "${KESTROV_SYSROOT}")
else()
  set(emulatorRoot "/usr/mipsel-linux-gnu")  # where Debian's cross packages put the target's libraries
endif()
# The target's own C library first: Debian's mipsel packages (libcivetweb1:mipsel)
# bring another build of it, which the loader's cache would else pick, and
# which the sysroot's loader crashes with.
set(CMAKE_CROSSCOMPILING_EMULATOR "${KESTROV_EMULATOR};-L;${emulatorRoot};-E;LD_LIBRARY_PATH=${emulatorRoot}/lib")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
