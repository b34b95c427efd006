// The Microsoft CRT function PathBuffer calls, for a native Linux build (defined in
// path_buffer_random.cpp).
#pragma once

#include <stdarg.h>
#include <stddef.h>

int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments);
