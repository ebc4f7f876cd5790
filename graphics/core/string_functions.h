#pragma once
// The string and formatting functions the core reaches through the engine instance, and the
// core's own ASCII routines among them.

#include <cstdarg>
#include <cstddef>

// The table of string functions in the engine instance (17 entries).
struct OvStringFunctions {
    int (*vecSprintf)(char* buffer, const char* format, ...);
    int (*vecVsprintf)(char* buffer, const char* format, va_list args);
    char* (*vecStrcpy)(char* dst, const char* src);
    char* (*vecStrncpy)(char* dst, const char* src, std::size_t n);
    char* (*vecStrcat)(char* dst, const char* src);
    char* (*vecStrncat)(char* dst, const char* src, std::size_t n);
    char* (*vecStrrchr)(const char* s, int c);
    char* (*vecStrchr)(const char* s, int c);
    char* (*vecStrstr)(const char* s, const char* find);
    int (*vecStrcmp)(const char* a, const char* b);
    int (*vecStrncmp)(const char* a, const char* b, std::size_t n);
    int (*vecStricmp)(const char* a, const char* b);
    std::size_t (*vecStrlen)(const char* s);
    char* (*vecStrUpr)(char* s);
    char* (*vecStrLwr)(char* s);
    char* (*vecStrtok)(char* s, const char* delimiters);
    int (*vecSscanf)(const char* s, const char* format, ...);
};

// Fills the engine instance's table. Returns 1.
int OvStringModuleSetFunctions();

// Difference of the first differing characters after folding 'A'..'Z' to lower case (bytes
// compared as signed 8-bit values); 0 when equal or when either argument is null.
int OvStringCompareNoCase(const char* a, const char* b);
// Fold 'a'..'z' (or 'A'..'Z') in place; return s.
char* OvStringToUpper(char* s);
char* OvStringToLower(char* s);
// First (last) position of c in s, the terminator included; null when absent.
char* OvStringFindChar(const char* s, int c);
char* OvStringFindLastChar(const char* s, int c);
