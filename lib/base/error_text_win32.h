// Windows: the system's words for an error code, on one line.
#pragma once
#include <cstddef>

// "The system cannot find the file specified. (error 2)"; fallback (error
// N) when the system has no words for it.
void WindowsErrorText(unsigned long error, char *text, size_t size, const char *fallback = "error");
