#include "graphics/core/string_functions.h"

#include <cstdio>
#include <cstring>

#include "graphics/core/engine.h"

namespace {

// Thin forwarders: the table holds functions of this library, not addresses of the C
// library's own entries.
int Sprintf(char* buffer, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsprintf(buffer, format, args);
    va_end(args);
    return n;
}
int Vsprintf(char* buffer, const char* format, va_list args) { return std::vsprintf(buffer, format, args); }
char* Strcpy(char* dst, const char* src) { return std::strcpy(dst, src); }
char* Strncpy(char* dst, const char* src, std::size_t n) { return std::strncpy(dst, src, n); }
char* Strcat(char* dst, const char* src) { return std::strcat(dst, src); }
char* Strncat(char* dst, const char* src, std::size_t n) { return std::strncat(dst, src, n); }
char* Strstr(const char* s, const char* find) { return const_cast<char*>(std::strstr(s, find)); }
int Strcmp(const char* a, const char* b) { return std::strcmp(a, b); }
int Strncmp(const char* a, const char* b, std::size_t n) { return std::strncmp(a, b, n); }
std::size_t Strlen(const char* s) { return std::strlen(s); }
char* Strtok(char* s, const char* delimiters) { return std::strtok(s, delimiters); }
int Sscanf(const char* s, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = std::vsscanf(s, format, args);
    va_end(args);
    return n;
}

signed char FoldLower(char c) {
    auto v = static_cast<signed char>(c);
    return (v >= 'A' && v <= 'Z') ? static_cast<signed char>(v - 'A' + 'a') : v;
}

} // namespace

int OvStringModuleSetFunctions() {
    OvStringFunctions& f = OvEngineInstancePtr->stringFuncs;
    f.vecSprintf = Sprintf;
    f.vecVsprintf = Vsprintf;
    f.vecStrcpy = Strcpy;
    f.vecStrncpy = Strncpy;
    f.vecStrcat = Strcat;
    f.vecStrncat = Strncat;
    f.vecStrrchr = OvStringFindLastChar;
    f.vecStrchr = OvStringFindChar;
    f.vecStrstr = Strstr;
    f.vecStrcmp = Strcmp;
    f.vecStrncmp = Strncmp;
    f.vecStricmp = OvStringCompareNoCase;
    f.vecStrlen = Strlen;
    f.vecStrUpr = OvStringToUpper;
    f.vecStrLwr = OvStringToLower;
    f.vecStrtok = Strtok;
    f.vecSscanf = Sscanf;
    return 1;
}

int OvStringCompareNoCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return 0;
    }
    for (;; ++a, ++b) {
        signed char ca = FoldLower(*a);
        signed char cb = FoldLower(*b);
        if (ca != cb) {
            return ca - cb;
        }
        if (ca == 0) {
            return 0;
        }
    }
}

char* OvStringToUpper(char* s) {
    if (s != nullptr) {
        for (char* p = s; *p != 0; ++p) {
            if (*p >= 'a' && *p <= 'z') {
                *p = static_cast<char>(*p - 'a' + 'A');
            }
        }
    }
    return s;
}

char* OvStringToLower(char* s) {
    if (s != nullptr) {
        for (char* p = s; *p != 0; ++p) {
            if (*p >= 'A' && *p <= 'Z') {
                *p = static_cast<char>(*p - 'A' + 'a');
            }
        }
    }
    return s;
}

char* OvStringFindChar(const char* s, int c) {
    const char ch = static_cast<char>(c);
    for (;; ++s) {
        if (*s == ch) {
            return const_cast<char*>(s);
        }
        if (*s == 0) {
            return nullptr;
        }
    }
}

char* OvStringFindLastChar(const char* s, int c) {
    const char ch = static_cast<char>(c);
    const char* found = nullptr;
    for (;; ++s) {
        if (*s == ch) {
            found = s;
        }
        if (*s == 0) {
            return const_cast<char*>(found);
        }
    }
}
