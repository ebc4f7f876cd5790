#include "platform/crt.h"

#include <cerrno>
#include <clocale>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include "platform/file.h"

namespace {

unsigned int g_randState = 1;

inline unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

locale_t CLocale() {
    // Created once and kept for the life of the program.
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

} // namespace

int crt_rand() {
    g_randState = g_randState * 214013u + 2531011u;
    return static_cast<int>((g_randState >> 16) & 0x7FFFu);
}

void crt_srand(unsigned int seed) { g_randState = seed; }

int _stricmp(const char* a, const char* b) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a);
    const auto* pb = reinterpret_cast<const unsigned char*>(b);
    for (;; ++pa, ++pb) {
        const int ca = FoldAscii(*pa);
        const int cb = FoldAscii(*pb);
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

int _strnicmp(const char* a, const char* b, std::size_t count) {
    const auto* pa = reinterpret_cast<const unsigned char*>(a);
    const auto* pb = reinterpret_cast<const unsigned char*>(b);
    for (; count != 0; --count, ++pa, ++pb) {
        const int ca = FoldAscii(*pa);
        const int cb = FoldAscii(*pb);
        if (ca != cb || ca == 0)
            return ca - cb;
    }
    return 0;
}

double crt_strtod(const char* text, char** end) { return strtod_l(text, end, CLocale()); }

double crt_atof(const char* text) { return crt_strtod(text, nullptr); }

int crt_atoi(const char* text) {
    // Digits do not depend on the locale; strtol's overflow clamp keeps the result defined.
    const long value = std::strtol(text, nullptr, 10);
    if (value > 2147483647L)
        return 2147483647;
    if (value < -2147483647L - 1)
        return -2147483647 - 1;
    return static_cast<int>(value);
}

int _open(const char* fileName, int flags) {
    // Only reading is offered: the runtime's other modes have no caller.
    if (fileName == nullptr || (flags & ~_O_BINARY) != _O_RDONLY) {
        errno = EINVAL;
        return -1;
    }
    return ::open(PlatformHostPath(fileName).c_str(), O_RDONLY | O_CLOEXEC);
}

int _read(int fd, void* buffer, unsigned int count) {
    if (buffer == nullptr || count > INT_MAX) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n;
    do {
        n = ::read(fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int _close(int fd) { return ::close(fd); }
