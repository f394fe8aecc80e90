/* The version of kest these headers belong to. The build reads it from here.
 * The shared library's soname, libkest.so.<major>, changes with the major version. */
#ifndef KEST_VERSION_H
#define KEST_VERSION_H

#define KEST_VERSION_MAJOR 0
#define KEST_VERSION_MINOR 1
#define KEST_VERSION_PATCH 0
#define KEST_VERSION_STRING "0.1.0"

/* One number that compares in order: 0x00MMmmpp. */
#define KEST_VERSION ((KEST_VERSION_MAJOR << 16) | (KEST_VERSION_MINOR << 8) | KEST_VERSION_PATCH)

#endif
