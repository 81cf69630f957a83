// Portability names shared by every libvesk header, and the export marker of
// the library's public symbols.
#ifndef VESK_TYPEDEF_NONE_WIN32_H
#define VESK_TYPEDEF_NONE_WIN32_H

typedef char TCHAR;
typedef const char* LPCSTR;
typedef LPCSTR LPCTSTR;
typedef void* LPVOID;
typedef int SOCKET;

// VESK_LOCAL keeps a member of an exported class inside the library.
#if defined(VESK_BUILDING_LIBRARY)
#define VESK_API __attribute__((visibility("default")))
#define VESK_LOCAL __attribute__((visibility("hidden")))
#else
#define VESK_API
#define VESK_LOCAL
#endif

#endif
