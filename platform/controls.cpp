#include "platform/controls.h"

#include "platform/crt.h"
#include "platform/keys.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <png.h>

namespace {

std::string Trim(const std::string& s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

// A whole decimal number in [min, max].
bool ParseLong(const std::string& text, long min, long max, long* out) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    *out = v;
    return true;
}

bool ParsePair(const std::string& text, long min, int* x, int* y) {
    const std::size_t slash = text.find('/');
    long a = 0;
    long b = 0;
    if (slash == std::string::npos || !ParseLong(text.substr(0, slash), min, 32767, &a) ||
        !ParseLong(text.substr(slash + 1), min, 32767, &b))
        return false;
    *x = static_cast<int>(a);
    *y = static_cast<int>(b);
    return true;
}

bool IsButton(const std::string& name) {
    return _stricmp(name.c_str(), "LBUTTON") == 0 || _stricmp(name.c_str(), "RBUTTON") == 0 ||
           _stricmp(name.c_str(), "MBUTTON") == 0;
}

bool KnownKey(const std::string& name) { return IsButton(name) || PlatformKeyByName(name.c_str()) != nullptr; }

// Checks that a capture pattern holds at most one conversion, an integer one with flags and a
// width below 100 ("%%" is a '%').
bool ValidCapturePattern(const std::string& p) {
    int conversions = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] != '%')
            continue;
        ++i;
        if (i < p.size() && p[i] == '%')
            continue;
        while (i < p.size() && std::strchr("0-+ #", p[i]) != nullptr)
            ++i;
        std::size_t digits = 0;
        while (i < p.size() && p[i] >= '0' && p[i] <= '9') {
            ++i;
            ++digits;
        }
        // A width of at most two digits: a longer one would ask for a huge name.
        if (digits > 2 || i >= p.size() || std::strchr("diu", p[i]) == nullptr)
            return false;
        ++conversions;
    }
    return conversions <= 1 && !p.empty();
}

const char* Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] != '\0' ? v : nullptr;
}

} // namespace

bool PlatformParseScript(const char* text, std::vector<PlatformScriptEvent>* events, std::string* error) {
    using Kind = PlatformScriptEvent::Kind;
    events->clear();
    const std::string all = text != nullptr ? text : "";
    std::size_t start = 0;
    int index = 0;
    while (start <= all.size()) {
        std::size_t comma = all.find(',', start);
        if (comma == std::string::npos)
            comma = all.size();
        const std::string item = Trim(all.substr(start, comma - start));
        start = comma + 1;
        ++index;
        if (item.empty() && comma == all.size() && index == 1)
            break; // an empty script
        auto fail = [&](const std::string& why) {
            *error = "PLATFORM_KEYS: item " + std::to_string(index) + " '" + item + "': " + why;
            return false;
        };
        const std::size_t colon = item.find(':');
        if (colon == std::string::npos)
            return fail("expected FRAME:ACTION");
        PlatformScriptEvent e;
        if (!ParseLong(Trim(item.substr(0, colon)), 0, 2147483647L, &e.frame))
            return fail("the frame is not a whole number from 0");
        const std::string action = Trim(item.substr(colon + 1));
        const std::size_t eq = action.find('=');
        const std::string verb = eq == std::string::npos ? action : Trim(action.substr(0, eq));
        const std::string arg = eq == std::string::npos ? std::string() : Trim(action.substr(eq + 1));
        if (eq == std::string::npos) {
            if (_stricmp(verb.c_str(), "close") == 0) {
                e.kind = Kind::Close;
            } else if (_stricmp(verb.c_str(), "activate") == 0) {
                e.kind = Kind::Activate;
            } else if (_stricmp(verb.c_str(), "deactivate") == 0) {
                e.kind = Kind::Deactivate;
            } else if (KnownKey(verb)) {
                e.kind = Kind::Press;
                e.key = verb;
            } else {
                return fail("unknown key or action '" + verb + "'");
            }
        } else if (_stricmp(verb.c_str(), "down") == 0 || _stricmp(verb.c_str(), "up") == 0) {
            if (!KnownKey(arg))
                return fail("unknown key '" + arg + "'");
            e.kind = _stricmp(verb.c_str(), "down") == 0 ? Kind::Down : Kind::Up;
            e.key = arg;
        } else if (_stricmp(verb.c_str(), "move") == 0) {
            e.kind = Kind::Move;
            if (!ParsePair(arg, -32768, &e.x, &e.y))
                return fail("expected move=X/Y with whole numbers");
        } else if (_stricmp(verb.c_str(), "rel") == 0) {
            e.kind = Kind::Rel;
            if (!ParsePair(arg, -32768, &e.x, &e.y))
                return fail("expected rel=DX/DY with whole numbers");
        } else if (_stricmp(verb.c_str(), "wheel") == 0) {
            long n = 0;
            if (!ParseLong(arg, -100, 100, &n) || n == 0)
                return fail("expected wheel=N with N from -100 to 100, not 0");
            e.kind = Kind::Wheel;
            e.x = static_cast<int>(n);
        } else if (_stricmp(verb.c_str(), "drop") == 0) {
            if (arg.empty())
                return fail("expected drop=PATH");
            e.kind = Kind::Drop;
            e.path = arg;
        } else {
            return fail("unknown action '" + verb + "'");
        }
        events->push_back(e);
    }
    std::stable_sort(events->begin(), events->end(),
                     [](const PlatformScriptEvent& a, const PlatformScriptEvent& b) { return a.frame < b.frame; });
    return true;
}

bool PlatformControlsFromEnvironment(PlatformControls* c, std::string* error) {
    *c = PlatformControls{};
    if (const char* v = Env("PLATFORM_HEADLESS")) {
        if (std::strcmp(v, "1") != 0 && std::strcmp(v, "0") != 0) {
            *error = std::string("PLATFORM_HEADLESS: expected 1 or 0, got '") + v + "'";
            return false;
        }
        c->headless = v[0] == '1';
    }
    if (const char* v = Env("PLATFORM_FRAMES")) {
        if (!ParseLong(v, 1, 2147483647L, &c->frames)) {
            *error = std::string("PLATFORM_FRAMES: expected a whole number of frames from 1, got '") + v + "'";
            return false;
        }
    }
    if (const char* v = Env("PLATFORM_KEYS")) {
        if (!PlatformParseScript(v, &c->script, error))
            return false;
    }
    if (const char* v = Env("PLATFORM_CAPTURE")) {
        if (!ValidCapturePattern(v)) {
            *error = std::string("PLATFORM_CAPTURE: '") + v +
                     "' may hold one integer conversion such as %05d for the frame number, and no other";
            return false;
        }
        c->capture = v;
    }
    if (const char* v = Env("PLATFORM_CAPTURE_EVERY")) {
        if (!ParseLong(v, 1, 2147483647L, &c->captureEvery)) {
            *error = std::string("PLATFORM_CAPTURE_EVERY: expected a whole number from 1, got '") + v + "'";
            return false;
        }
        if (c->capture.empty()) {
            *error = "PLATFORM_CAPTURE_EVERY: set without PLATFORM_CAPTURE";
            return false;
        }
    }
    if (const char* v = Env("PLATFORM_FIXED_STEP")) {
        errno = 0;
        char* end = nullptr;
        const double s = std::strtod(v, &end);
        if (errno != 0 || *end != '\0' || !std::isfinite(s) || s <= 0.0 || s > 3600.0) {
            *error = std::string("PLATFORM_FIXED_STEP: expected seconds per frame above 0, got '") + v + "'";
            return false;
        }
        c->fixedStep = s;
    }
    if (const char* v = Env("PLATFORM_DIALOG")) {
        long id = 0;
        if (_stricmp(v, "ok") == 0) {
            c->dialogAnswer = IDOK;
        } else if (_stricmp(v, "cancel") == 0) {
            c->dialogAnswer = IDCANCEL;
        } else if (ParseLong(v, 1, 65535, &id)) {
            c->dialogAnswer = static_cast<int>(id);
        } else {
            *error = std::string("PLATFORM_DIALOG: expected ok, cancel or a control id, got '") + v + "'";
            return false;
        }
    }
    if (const char* v = Env("PLATFORM_VIDEO_MODE")) {
        const std::string s = v;
        const std::size_t x1 = s.find_first_of("xX");
        const std::size_t x2 = x1 == std::string::npos ? x1 : s.find_first_of("xX", x1 + 1);
        long w = 0;
        long h = 0;
        long d = 0;
        if (x2 == std::string::npos || !ParseLong(s.substr(0, x1), 1, 65535, &w) ||
            !ParseLong(s.substr(x1 + 1, x2 - x1 - 1), 1, 65535, &h) || !ParseLong(s.substr(x2 + 1), 1, 64, &d)) {
            *error = "PLATFORM_VIDEO_MODE: expected WIDTHxHEIGHTxDEPTH such as 640x480x32, got '" + s + "'";
            return false;
        }
        c->videoMode = std::to_string(w) + " x " + std::to_string(h) + " x " + std::to_string(d);
    }
    if (const char* v = Env("PLATFORM_MSGBOX_LOG"))
        c->messageBoxLog = v;
    return PlatformRasterThreadsFromEnvironment(&c->rasterThreads, error) &&
           PlatformPixelShadersFromEnvironment(&c->pixelShaders, error);
}

bool PlatformPixelShadersFromEnvironment(bool* on, std::string* error) {
    *on = true;
    const char* v = Env("PLATFORM_PIXEL_SHADERS");
    if (v == nullptr)
        return true;
    if (std::strcmp(v, "0") != 0 && std::strcmp(v, "1") != 0) {
        *error = std::string("PLATFORM_PIXEL_SHADERS: expected 1 or 0, got '") + v + "'";
        return false;
    }
    *on = v[0] == '1';
    return true;
}

bool PlatformRasterThreadsFromEnvironment(int* threads, std::string* error) {
    *threads = 0;
    const char* v = Env("PLATFORM_RASTER_THREADS");
    if (v == nullptr)
        return true;
    long n = 0;
    if (!ParseLong(v, 1, 64, &n)) {
        *error =
            std::string("PLATFORM_RASTER_THREADS: expected a whole number of threads from 1 to 64, got '") + v + "'";
        return false;
    }
    *threads = static_cast<int>(n);
    return true;
}

std::string PlatformCaptureName(const std::string& pattern, long frame) {
    const int n = std::snprintf(nullptr, 0, pattern.c_str(), static_cast<int>(frame));
    if (n < 0)
        return pattern;
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), pattern.c_str(), static_cast<int>(frame));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// libpng reports a failure by a long jump back here: this function holds no object whose
// state a jump could leave behind, and the caller's strings stay out of its frame.
static bool WritePngRows(png_structp png, png_infop info, FILE* f, const void* pixels, UINT width, UINT height,
                         UINT pitch, png_byte* row) {
    if (setjmp(png_jmpbuf(png)) != 0)
        return false;
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const auto* base = static_cast<const std::uint8_t*>(pixels);
    for (UINT y = 0; y < height; ++y) {
        const auto* src = base + static_cast<std::size_t>(y) * pitch;
        for (UINT x = 0; x < width; ++x) {
            std::uint32_t p = 0;
            std::memcpy(&p, src + x * 4, 4);
            row[x * 3 + 0] = static_cast<png_byte>(p >> 16);
            row[x * 3 + 1] = static_cast<png_byte>(p >> 8);
            row[x * 3 + 2] = static_cast<png_byte>(p);
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    return true;
}

bool PlatformWritePng(const char* path, const void* pixels, UINT width, UINT height, UINT pitch, std::string* error) {
    if (pixels == nullptr || width == 0 || height == 0 || pitch / 4 < width) {
        *error = "bad frame for a PNG file";
        return false;
    }
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        *error = std::string("cannot write '") + path + "': " + std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    std::unique_ptr<png_byte[]> row(new png_byte[static_cast<std::size_t>(width) * 3]);
    bool ok = png != nullptr && info != nullptr && WritePngRows(png, info, f, pixels, width, height, pitch, row.get());
    png_destroy_write_struct(&png, &info);
    if (std::fclose(f) != 0)
        ok = false;
    if (!ok)
        *error = std::string("failed writing PNG file '") + path + "'";
    return ok;
}
