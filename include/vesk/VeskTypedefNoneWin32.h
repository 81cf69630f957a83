/// @file
/// Portability names shared by every libvesk header, and the export marker of
/// the library's public symbols.
#ifndef VESK_TYPEDEF_NONE_WIN32_H
#define VESK_TYPEDEF_NONE_WIN32_H

/// A character of a text field: 8 bits.
typedef char TCHAR;
/// A NUL-terminated text.
typedef const char* LPCSTR;
/// A NUL-terminated text of TCHAR.
typedef LPCSTR LPCTSTR;
/// An untyped pointer.
typedef void* LPVOID;
/// A socket descriptor.
typedef int SOCKET;

/// @cond INTERNAL
// VESK_API marks what the library exports; VESK_LOCAL keeps a member of an
// exported class inside the library. Both are empty for applications.
#if defined(VESK_BUILDING_LIBRARY)
#define VESK_API __attribute__((visibility("default")))
#define VESK_LOCAL __attribute__((visibility("hidden")))
#else
#define VESK_API
#define VESK_LOCAL
#endif
/// @endcond

#endif
