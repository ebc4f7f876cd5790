#include "tools/physics_hull/points_file.h"

#include <charconv>
#include <cmath>

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ',' || c == '\r'; }

} // namespace

bool ParsePoints(const char* text, std::size_t length, std::vector<float>* points, PointsParseError* error) {
    std::size_t line = 0;
    std::size_t at = 0;
    while (at < length) {
        ++line;
        std::size_t end = at;
        while (end < length && text[end] != '\n') {
            ++end;
        }
        const char* p = text + at;
        const char* const stop = text + end;
        at = end + 1;
        while (p < stop && IsSeparator(*p)) {
            ++p;
        }
        if (p == stop || *p == '#') {
            continue;
        }
        float xyz[3];
        int count = 0;
        while (p < stop) {
            if (count == 3) {
                *error = {line, "more than three numbers"};
                return false;
            }
            float value = 0.0f;
            const auto result = std::from_chars(p, stop, value);
            if (result.ec != std::errc() || (result.ptr < stop && !IsSeparator(*result.ptr))) {
                const char* word = p;
                while (p < stop && !IsSeparator(*p)) {
                    ++p;
                }
                *error = {line, "not a number: '" + std::string(word, p) + "'"};
                return false;
            }
            if (!std::isfinite(value)) {
                *error = {line, "not a finite number: '" + std::string(p, result.ptr) + "'"};
                return false;
            }
            xyz[count++] = value;
            p = result.ptr;
            while (p < stop && IsSeparator(*p)) {
                ++p;
            }
        }
        if (count != 3) {
            *error = {line, "expected three numbers, found " + std::to_string(count)};
            return false;
        }
        points->insert(points->end(), xyz, xyz + 3);
    }
    return true;
}
