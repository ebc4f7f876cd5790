#pragma once
// The C runtime behaviour the system was written against, made the same on every host:
// a 15-bit pseudo-random generator with one shared seedable state, ASCII case-insensitive
// comparisons and number parsing that ignores the process locale.

#include <cstddef>

// Largest value crt_rand() returns.
inline constexpr int CRT_RAND_MAX = 0x7FFF;

// Linear congruential generator: state = state * 214013 + 2531011, result = bits 16..30.
// One state for the whole program; it starts as if crt_srand(1) had been called.
int crt_rand();
void crt_srand(unsigned int seed);

// ASCII-only case-insensitive comparison ('A'..'Z' fold to 'a'..'z', nothing else does).
// Result < 0, 0 or > 0 as for strcmp, comparing the folded bytes as unsigned values.
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, std::size_t count);

// Number parsing in the "C" locale whatever the process locale is. Same rules as the
// standard functions: leading white space is skipped, parsing stops at the first character
// that does not fit, and a text without a number gives 0.
double crt_atof(const char* text);
int crt_atoi(const char* text);
double crt_strtod(const char* text, char** end);

// Low-level file input of the runtime: open, read and close by descriptor. Names are Windows
// names, resolved as the file functions resolve them (platform/file.h): '\\' separates
// components and a component missing as written is matched without regard to case. Text-mode
// translation does not exist here: every open is binary. Errors give -1.
inline constexpr int _O_RDONLY = 0x0000;
inline constexpr int _O_BINARY = 0x8000;
int _open(const char* fileName, int flags);
int _read(int fd, void* buffer, unsigned int count); // bytes read, 0 at the end, -1 on error
int _close(int fd);
