// The C runtime's low-level I/O calls the program uses, for the Linux build, where
// every stream is binary already.
#pragma once

#include <cstdio>

#ifndef _O_BINARY
#define _O_BINARY 0x8000
#endif

inline int _fileno(FILE* stream) { return fileno(stream); }
inline int _setmode(int, int) { return _O_BINARY; }
