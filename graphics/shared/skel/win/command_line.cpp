// The command-line splitter: one allocation holds the argument pointers followed by a copy of
// the whole line, and the pointers point into the copy.

#include <cstring>
#include <new>

#include "graphics/shared/skel/win/skeleton.h"

namespace {

bool Blank(char c) { return static_cast<unsigned char>(c) < 33; }

// Walks the line, calling found(start, end) for each argument: start is its first character,
// end the character that ends it (a blank outside quotes, or the terminator).
template <typename Found> void Walk(char* line, Found found) {
    char* p = line;
    while (*p != '\0') {
        bool quoted = false;
        // An argument starts at its first character that is neither a blank (outside quotes)
        // nor a quote: an opening quote is not part of it.
        while (*p != '\0' && (*p == '"' || (!quoted && Blank(*p)))) {
            if (*p == '"') {
                quoted = !quoted;
            }
            ++p;
        }
        if (*p == '\0') {
            return;
        }
        char* start = p;
        while (*p != '\0' && (quoted || !Blank(*p))) {
            if (*p == '"') {
                quoted = !quoted;
            }
            ++p;
        }
        char* end = p;
        const bool more = *p != '\0';
        found(start, end);
        if (!more) {
            return;
        }
        p = end + 1;
    }
}

} // namespace

char** SkelSplitCommandLine(const char* line, int* count) {
    if (line == nullptr) {
        line = "";
    }
    const std::size_t length = std::strlen(line);
    // Count on a scratch copy, then lay out pointers and copy in one block.
    char* scratch = new (std::nothrow) char[length + 1];
    if (scratch == nullptr) {
        *count = 0;
        return nullptr;
    }
    std::memcpy(scratch, line, length + 1);
    std::size_t n = 0;
    Walk(scratch, [&n](char*, char*) { ++n; });
    delete[] scratch;

    const std::size_t pointerBytes = (n + 1) * sizeof(char*);
    char* block = new (std::nothrow) char[pointerBytes + length + 1];
    if (block == nullptr) {
        *count = 0;
        return nullptr;
    }
    char** args = reinterpret_cast<char**>(block);
    char* copy = block + pointerBytes;
    std::memcpy(copy, line, length + 1);
    std::size_t i = 0;
    Walk(copy, [&](char* start, char* end) {
        // A closing quote just before the end is overwritten with the terminator, otherwise the
        // ending character is.
        if (end > start && end[-1] == '"') {
            end[-1] = '\0';
        } else {
            *end = '\0';
        }
        args[i++] = start;
    });
    args[n] = nullptr;
    *count = static_cast<int>(n);
    return args;
}

void SkelFreeCommandLine(char** arguments) { delete[] reinterpret_cast<char*>(arguments); }
