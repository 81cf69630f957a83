/// @file
/// Version of libvesk: the macros give the version an application was compiled
/// against, VeskVersion() the version of the library it runs with. The soname
/// follows the major version.
#ifndef VESK_VERSION_H
#define VESK_VERSION_H

#include "VeskTypedefNoneWin32.h"

/// The major version; it goes up, and the soname with it, on any change that
/// breaks programs built against the previous release (CHANGELOG.md).
#define VESK_VERSION_MAJOR 2
/// The minor version.
#define VESK_VERSION_MINOR 0
/// The patch level.
#define VESK_VERSION_PATCH 0
/// The version as "MAJOR.MINOR.PATCH".
#define VESK_VERSION_STRING "2.0.0"

/// The running library's version as "MAJOR.MINOR.PATCH"; a static string.
/// Any thread.
extern "C" VESK_API const char* VeskVersion();

#endif
