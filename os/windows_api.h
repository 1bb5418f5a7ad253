// The Win32 API as the Windows files of the bottom rooms include it: without the
// rarely used parts, and without the min/max macros that break the standard
// library. Only *_win32.cpp files (and their tests) include this.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
