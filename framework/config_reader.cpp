#include "framework/config_reader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <sstream>
#include <type_traits>
#include <utility>
#include <vector>

#include "framework/config_checks.h"
#include "framework/framework.h"
#include "graphics/shared/skel/win/skeleton.h"
#include "platform/crt.h"

bool CConfigSectionHandler::StartElement(const char* /*name*/, const char** /*attributes*/) { return true; }

bool CConfigSectionHandler::EndElement(const char* /*name*/) { return true; }

namespace {

// The value of attribute `position` named `name`, or null. The array ends at the first null name:
// a position past it is missing, and the value slot of a null name is never read.
const char* Value(const char* name, const char** attributes, int position) {
    if (attributes == nullptr || position < 0) {
        return nullptr;
    }
    for (int k = 0; k < position; ++k) {
        if (attributes[2 * k] == nullptr) {
            return nullptr;
        }
    }
    const char* pairName = attributes[2 * position];
    if (pairName == nullptr || _stricmp(pairName, name) != 0) {
        return nullptr;
    }
    return attributes[2 * position + 1];
}

const char* g_placeElement = nullptr;
unsigned long g_placeLine = 0;
const char** g_placeAttributes = nullptr;
const char* g_placeFile = nullptr;
const char* g_lastFile = "config.xml";
// "its 'Config' element (config.xml line 2)"; made on first use.
std::string& RootPlace() {
    static std::string place;
    return place;
}

// Numbers beyond this, either way, are larger than any size, position, mass or time a level could
// have: such a value (or one that is not finite) is a damaged one.
constexpr double kLargestSensibleNumber = 1.0e6;

using NumberRange = ConfigNumberRange;

constexpr double kMillion = kLargestSensibleNumber;
constexpr const char* kCharacterSize = "a character has a height and a width";
constexpr const char* kCharacterSpeed = "a character that does not move forward or sideways goes nowhere";

// Every number of the configuration with a range of its own. The rest are positions, sizes and
// times of the level: no more than a million either way (decimal numbers) or any 32-bit whole
// number. The counts that size the engine's tables (the resource arena, bodies, joints, bots) are
// held by their readers to the tables' own limits; a World's flags outside 0 to 2 are taken and
// said by the world manager (the level is not drawn), a Door's size not above 0 by the door.
constexpr NumberRange kRanges[] = {
    {"Debug", "level", 0, 3, false, false, nullptr},
    {"Scale", "value", 0, kMillion, true, true, nullptr},
    {"Stick", "inAir", 0, kMillion, false, false, nullptr},
    {"Stick", "onGround", 0, kMillion, false, false, nullptr},
    {"MobileBounce", "value", 0, 1, false, false, nullptr},
    {"MobileSlide", "value", 0, kMillion, false, false, nullptr},
    {"SolidSlide", "value", 0, kMillion, false, false, nullptr},
    {"Length", "value", 0, kMillion, true, false, nullptr, 100},
    {"Width", "value", 0, kMillion, true, false, nullptr, 100},
    {"LaserBeam", "timeOn", 0, kMillion, false, false, nullptr},
    {"LaserBeam", "timeOff", 0, kMillion, false, false, nullptr},
    {"Door", "axis", 0, 1, false, false, nullptr},
    {"MouseMode", "Value", 0, 1, false, false, nullptr},
    {"Box", "slide", 0, kMillion, false, false, nullptr},
    {"Box", "bounce", 0, 1, false, false, nullptr},
    {"Color", "r", 0, 1, false, false, nullptr},
    {"Color", "g", 0, 1, false, false, nullptr},
    {"Color", "b", 0, 1, false, false, nullptr},
    {"Camera", "nearClip", 0, kMillion, true, true, nullptr},
    {"Camera", "farClip", 0, kMillion, true, true, nullptr},
    {"Camera", "fov", 1, 179, false, false, nullptr},
    {"Follow", "minVAngle", -90, 90, false, false, nullptr},
    {"Follow", "maxVAngle", -90, 90, false, false, nullptr},
    {"Follow", "minDistance", 0, kMillion, false, false, nullptr},
    {"Follow", "maxDistance", 0, kMillion, false, false, nullptr},
    {"Geometry", "heigth", 0, kMillion, true, true, kCharacterSize},
    {"Geometry", "width", 0, kMillion, true, true, kCharacterSize},
    {"GlobalAnimator", "transitionSpeed", 0, kMillion, false, false, nullptr},
    {"GlobalDynamics", "slideIntensity", 0, kMillion, false, false, nullptr},
    {"GlobalDynamics", "slideCreaseYComponent", -1, 1, false, false, nullptr},
    {"GlobalDynamics", "accuracy", 0, INT_MAX, false, false, nullptr},
    {"GlobalDynamics", "sphereRadius", 0, kMillion, true, false, nullptr, 0.4}, // the motion body's own
    {"Speeds", "forwardRun", 0, kMillion, true, true, kCharacterSpeed},
    {"Speeds", "forwardWalk", 0, kMillion, true, true, kCharacterSpeed},
    {"Speeds", "lateralWalk", 0, kMillion, true, true, kCharacterSpeed},
};

constexpr NumberRange kAnyDecimal = {nullptr, nullptr, -kMillion, kMillion, false, false, nullptr};
constexpr NumberRange kAnyWhole = {nullptr, nullptr, INT_MIN, INT_MAX, false, false, nullptr};

const NumberRange& RangeOf(const char* element, const char* attribute, bool whole) {
    for (const NumberRange& range : kRanges) {
        if (element != nullptr && _stricmp(range.element, element) == 0 && _stricmp(range.attribute, attribute) == 0) {
            return range;
        }
    }
    return whole ? kAnyWhole : kAnyDecimal;
}

// A number as the messages write it: whole ones without a fraction or exponent.
std::string NumberText(double v) {
    char text[32];
    if (v == std::floor(v) && std::fabs(v) < 1.0e15) {
        std::snprintf(text, sizeof text, "%.0f", v);
    } else {
        std::snprintf(text, sizeof text, "%g", v);
    }
    return text;
}

// "0 to 1", or "0 (not included) to 1000000".
std::string RangeText(const NumberRange& range) {
    return NumberText(range.least) + (range.aboveLeast ? " (not included)" : "") + " to " + NumberText(range.most);
}

// "config.xml line 12: " (or "configuration: " outside a file being read) before a warning.
std::string WarningPlace() {
    std::string text = g_placeFile != nullptr ? g_placeFile : "configuration";
    if (g_placeLine != 0) {
        text += " line " + std::to_string(g_placeLine);
    }
    return text + ": ";
}

// "'level' of 'Debug'": the attribute and the element being read.
std::string AttributeOf(const char* name) {
    std::string text = "'" + std::string(name) + "'";
    if (g_placeElement != nullptr) {
        text += " of '" + std::string(g_placeElement) + "'";
    }
    return text;
}

// A text that holds one number and nothing else but blanks around it.
bool OnlyBlanksFrom(const char* end) {
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') {
        ++end;
    }
    return *end == '\0';
}

enum class Verdict { Taken, NotANumber, Outside };

bool Inside(const NumberRange& range, double v) {
    return std::isfinite(v) && v >= range.least && v <= range.most && !(range.aboveLeast && v == range.least);
}

// Reads the whole of `text` as a number (a whole one where `whole`) and holds it to the range.
Verdict Judge(const char* text, bool whole, const NumberRange& range, double* number) {
    char* end = nullptr;
    errno = 0;
    if (whole) {
        const long long n = std::strtoll(text, &end, 10);
        *number = static_cast<double>(n);
        if (end == text || !OnlyBlanksFrom(end)) {
            return Verdict::NotANumber;
        }
        if (errno == ERANGE) {
            return Verdict::Outside;
        }
    } else {
        *number = crt_strtod(text, &end);
        if (end == text || !OnlyBlanksFrom(end)) {
            return Verdict::NotANumber;
        }
    }
    return Inside(range, *number) ? Verdict::Taken : Verdict::Outside;
}

// The value the game goes on with in place of one it does not take: the value held, or where that
// lies outside the range too, the nearest end (a least that is not included: the row's fallback).
double UsedInstead(const NumberRange& range, double held) {
    if (Inside(range, held)) {
        return held;
    }
    if (held > range.most) {
        return range.most;
    }
    return range.aboveLeast ? range.fallback : range.least;
}

// Why a value is refused, as the line under an error box's first: "Its value '4,5' is not a
// number." or "Its value 0 is outside 0 (not included) to 1000000: a scale."
std::string RefusalCause(Verdict verdict, const char* text, bool whole, const NumberRange& range) {
    if (verdict == Verdict::NotANumber) {
        return "Its value '" + std::string(text) + "' is not " + (whole ? "a whole number." : "a number.");
    }
    return "Its value " + std::string(text) + " is outside " + RangeText(range) +
           (range.why != nullptr ? ": " + std::string(range.why) : std::string()) + ".";
}

// A value the game does not take, refused with the error box, or said with the value it uses
// instead.
void ReportFault(Verdict verdict, const char* name, const char* text, bool whole, const NumberRange& range,
                 const std::string& used) {
    if (range.refuse) {
        ErrorBox(AttributeFaultMessage(name, g_placeElement != nullptr ? g_placeElement : "configuration",
                                       RefusalCause(verdict, text, whole, range))
                     .c_str());
        return;
    }
    const std::string what = verdict == Verdict::NotANumber
                                 ? std::string("not ") + (whole ? "a whole number" : "a number")
                                 : "outside " + RangeText(range);
    SkelWarningMessage(
        (WarningPlace() + AttributeOf(name) + " is '" + text + "', " + what + "; the game uses " + used + " instead")
            .c_str());
}

// The sections the game reads at the top level ("Audio" is said and left out whole).
constexpr const char* kSections = "GraphicsGlobalSettings Debug Scale Worlds LaserBeam Teleporter Bumper JumpHelper "
                                  "Switch Lift Door Hud Audio Input Physics Light Camera Character Application";

// What each section's reader takes below it, and where: `names` at any depth while an element
// `inside` is open ("": anywhere in the section). An element the section takes is open from its
// start to the end of an element of its name, as the readers' own flags are; one of the section's
// own name stays open to the section's end. "Light type=Ambient Directional": a 'Light' whose first
// attribute, 'type', is one of those. While an `alone` one is open, its names are all that is read.
// A section without a row takes nothing below it.
struct ElementRule {
    const char* section;
    const char* inside;
    const char* names; // separated by blanks
    bool alone;
};
constexpr ElementRule kRules[] = {
    {"GraphicsGlobalSettings", "", "RessourceArena", false},
    {"Worlds", "CollisionPlane", "Position Normal Right Length Width", true},
    {"Worlds", "CollisionTriangle", "flags v1 v2 v3", true},
    {"Worlds", "PhysicsGlobalSettings",
     "PhysicsGlobalSettings Bodies Joints Stick BBox Gravity MobileBounce MobileSlide SolidSlide", true},
    {"Worlds", "", "PhysicsGlobalSettings World CollisionPlane CollisionTriangle", false},
    {"Input", "", "MouseMode", false},
    {"Physics", "", "Models Instances", false},
    {"Physics", "Models", "Sphere Box", false},
    {"Physics", "Instances", "Instance", false},
    {"Light", "", "Light", false},
    {"Light", "Light type=Ambient Directional", "Color", false},
    {"Light", "Light type=Directional", "Position Target", false},
    {"Camera", "", "Camera SwitchSequence CameraMode Follow Free Fixed", false},
    {"Camera", "SwitchSequence", "Mode", false},
    {"Camera", "Fixed", "Name Position Target", false},
    {"Camera", "Free", "InitialPosition InitialTarget", false},
    {"Character", "Actions", "Animations Speeds Animation", true},
    {"Character", "", "Geometry GlobalAnimator GlobalDynamics Actions", false},
    {"Application", "", "Application Player Bots AiPathData", false},
    {"Application", "Player", "InitialPosition", false},
    {"Application", "Bots", "InitialPosition", false},
};

// An element open in the section being read: its name, and its first attribute with its value.
struct OpenElement {
    std::string name;
    std::string attribute;
    std::string value;
};
struct SectionState {
    std::string section;
    std::vector<OpenElement> open;
};
SectionState& Reading() {
    static SectionState state;
    return state;
}

std::vector<std::string> Words(const char* text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool Named(const char* list, const char* name) {
    const std::vector<std::string> names = Words(list);
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& n) { return _stricmp(n.c_str(), name) == 0; });
}

// Whether the element a rule is read inside is open ("" always is).
bool IsOpen(const char* inside) {
    if (inside[0] == '\0') {
        return true;
    }
    const std::string scope = inside;
    const std::size_t blank = scope.find(' ');
    const std::string name = scope.substr(0, blank);
    const std::size_t equals = blank == std::string::npos ? blank : scope.find('=', blank);
    for (const OpenElement& e : Reading().open) {
        if (_stricmp(e.name.c_str(), name.c_str()) != 0) {
            continue;
        }
        if (equals == std::string::npos ||
            (_stricmp(e.attribute.c_str(), scope.substr(blank + 1, equals - blank - 1).c_str()) == 0 &&
             Named(scope.c_str() + equals + 1, e.value.c_str()))) {
            return true;
        }
    }
    return false;
}

// "'Models'", or "a 'Light' whose 'type' is 'Ambient' or 'Directional'".
std::string ScopeText(const char* inside) {
    const std::vector<std::string> words = Words(inside);
    const std::size_t equals = words.size() > 1 ? words[1].find('=') : std::string::npos;
    if (equals == std::string::npos) {
        return "'" + words[0] + "'";
    }
    std::string text =
        "a '" + words[0] + "' whose '" + words[1].substr(0, equals) + "' is '" + words[1].substr(equals + 1) + "'";
    for (std::size_t i = 2; i < words.size(); ++i) {
        text += (i + 1 == words.size() ? " or '" : ", '") + words[i] + "'";
    }
    return text;
}

// Whether the section being read takes `name` where it stands; where it does not but would
// elsewhere, `where` says where it is read ("'Sphere' is read only inside 'Models'").
bool Takes(const char* section, const char* name, std::string* where) {
    const ElementRule* alone = nullptr;
    for (const ElementRule& rule : kRules) {
        if (_stricmp(rule.section, section) == 0 && rule.alone && IsOpen(rule.inside)) {
            alone = &rule;
            break;
        }
    }
    std::string places;
    bool blocked = false;
    for (const ElementRule& rule : kRules) {
        if (_stricmp(rule.section, section) != 0 || !Named(rule.names, name)) {
            continue;
        }
        if (IsOpen(rule.inside)) {
            if (alone == nullptr || alone == &rule) {
                return true;
            }
            blocked = true;
        } else {
            places += (places.empty() ? "" : " or ") + ScopeText(rule.inside);
        }
    }
    if (blocked) {
        *where = "'" + std::string(name) + "' is not read inside " + ScopeText(alone->inside);
    } else if (!places.empty()) {
        *where = "'" + std::string(name) + "' is read only inside " + places;
    }
    return false;
}

// An element the section takes: open until the end of one of its name.
void Open(const char* name, const char** attributes) {
    OpenElement e{name, "", ""};
    if (attributes != nullptr && attributes[0] != nullptr) {
        e.attribute = attributes[0];
        e.value = attributes[1];
    }
    Reading().open.push_back(std::move(e));
}

// The edits (letters put in, left out or changed) between two names, ASCII case ignored.
std::size_t Edits(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Elements the game did not know, with their lines and the known names they are near.
struct UnknownElement {
    std::string name;
    unsigned long line;
    std::string closest;
};
std::vector<UnknownElement>& UnknownElements() {
    static std::vector<UnknownElement> elements;
    return elements;
}

NumberFate g_lastFate = NumberFate::Taken;

// Why a missing-attribute message came, from the attributes of the element being read: the
// attribute is not there at all, or there but not at its place.
std::string MissingCause(const std::string& attribute, const std::string& element) {
    if (g_placeElement == nullptr || _stricmp(g_placeElement, element.c_str()) != 0) {
        return "";
    }
    int count = 0;
    while (g_placeAttributes != nullptr && g_placeAttributes[2 * count] != nullptr) {
        ++count;
    }
    for (int k = 0; k < count; ++k) {
        if (_stricmp(g_placeAttributes[2 * k], attribute.c_str()) == 0) {
            return "'" + std::string(g_placeAttributes[2 * k]) + "' is attribute " + std::to_string(k + 1) + " of " +
                   std::to_string(count) + " there, out of its place: the attributes are read in their order";
        }
    }
    return "'" + element + "' has no attribute '" + attribute + "'" +
           (count == 0 ? "; it has none" : " among its " + std::to_string(count));
}

} // namespace

void SetConfigPlace(const char* element, unsigned long line, const char** attributes) {
    g_placeElement = element;
    g_placeLine = line;
    g_placeAttributes = attributes;
}

void ConfigWarning(const std::string& text) { SkelWarningMessage((WarningPlace() + text).c_str()); }

std::string WithConfigPlace(const char* text) {
    std::string result = text != nullptr ? text : "";
    if (g_placeFile == nullptr || g_placeLine == 0) {
        return result;
    }
    const std::string place = std::string(g_placeFile) + " line " + std::to_string(g_placeLine);
    if (result.find(place) != std::string::npos) {
        return result;
    }
    // A bare missing-attribute message gets its cause; every other message the place it was read at.
    static const std::string kTail = " section.\nPlease update your XML file";
    static const std::string kMiddle = "' attribute not found in '";
    std::string cause;
    const std::size_t middle = result.find(kMiddle);
    if (result.size() > kTail.size() && result.compare(result.size() - kTail.size(), kTail.size(), kTail) == 0 &&
        result[0] == '\'' && middle != std::string::npos) {
        const std::string attribute = result.substr(1, middle - 1);
        const std::size_t elementAt = middle + kMiddle.size();
        const std::size_t elementEnd = result.find('\'', elementAt);
        cause = MissingCause(attribute, result.substr(elementAt, elementEnd - elementAt));
    }
    if (cause.empty()) {
        return result + "\nIn " + place + ".";
    }
    return result + "\n" + cause + " (" + place + ").";
}

namespace {

// The two attribute readers: the value read whole and inside its range, or what the game does
// instead (said, or refused with the box).
template <typename T> bool ReadNumberAttribute(const char* name, const char** attributes, int position, T* out) {
    constexpr bool whole = std::is_integral_v<T>;
    g_lastFate = NumberFate::Taken;
    const char* value = Value(name, attributes, position);
    if (value == nullptr) {
        return false;
    }
    const NumberRange& range = RangeOf(g_placeElement, name, whole);
    double number = 0.0;
    const Verdict verdict = Judge(value, whole, range, &number);
    if (verdict == Verdict::Taken) {
        *out = static_cast<T>(number);
        return true;
    }
    if (!range.refuse) {
        *out = static_cast<T>(UsedInstead(range, static_cast<double>(*out)));
    }
    ReportFault(verdict, name, value, whole, range, NumberText(static_cast<double>(*out)));
    g_lastFate = range.refuse ? NumberFate::Refused : NumberFate::Kept;
    return true;
}

} // namespace

bool ReadIntAttribute(const char* name, const char** attributes, int position, int* out) {
    return ReadNumberAttribute(name, attributes, position, out);
}

bool ReadFloatAttribute(const char* name, const char** attributes, int position, float* out) {
    return ReadNumberAttribute(name, attributes, position, out);
}

std::span<const ConfigNumberRange> ConfigNumberRanges() { return kRanges; }

NumberFate LastNumberFate() { return g_lastFate; }

const char* ReadTextAttribute(const char* name, const char** attributes, int position) {
    return Value(name, attributes, position);
}

std::string MissingAttributeMessage(const char* attribute, const char* element) {
    return std::string("'") + attribute + "' attribute not found in '" + element +
           "' section.\nPlease update your XML file";
}

void SetConfigFileName(const char* fileName) {
    static std::string last = "config.xml";
    g_placeFile = fileName;
    if (fileName != nullptr) {
        last = fileName;
        g_lastFile = last.c_str();
    }
}

const char* LastConfigFileName() { return g_lastFile; }

namespace {
// Made on first use: applications made as static objects clear it before any static text exists.
std::string& ReadFault() {
    static std::string fault;
    return fault;
}
} // namespace

void SetConfigReadFault(const std::string& fault) { ReadFault() = fault; }

const std::string& ConfigReadFault() { return ReadFault(); }

std::string AttributeFaultMessage(const char* attribute, const char* element, const std::string& cause) {
    std::string text = MissingAttributeMessage(attribute, element) + "\n" + cause;
    if (g_placeFile != nullptr || g_placeLine != 0) {
        text += " (";
        text += g_placeFile != nullptr ? g_placeFile : "configuration";
        if (g_placeLine != 0) {
            text += " line " + std::to_string(g_placeLine);
        }
        text += ")";
    }
    return text;
}

namespace {

// A number the game cannot go on without: a missing one, one that does not read and one outside
// the range show the error box (with `shownName` and `element`) and give false.
bool ReadCheckedNumber(const char* name, const char** attributes, int position, const char* shownName,
                       const char* element, bool whole, const NumberRange& range, double* number) {
    const char* value = Value(name, attributes, position);
    if (value == nullptr) {
        ErrorBox(MissingAttributeMessage(shownName, element).c_str());
        return false;
    }
    const Verdict verdict = Judge(value, whole, range, number);
    if (verdict != Verdict::Taken) {
        ErrorBox(AttributeFaultMessage(shownName, element, RefusalCause(verdict, value, whole, range)).c_str());
        return false;
    }
    return true;
}

} // namespace

bool ReadCheckedIntAttribute(const char* name, const char** attributes, int position, const char* shownName,
                             const char* element, int least, int most, int* out) {
    const NumberRange range = {element, name,   static_cast<double>(least), static_cast<double>(most), false,
                               true,    nullptr};
    double number = 0.0;
    if (!ReadCheckedNumber(name, attributes, position, shownName, element, true, range, &number)) {
        return false;
    }
    *out = static_cast<int>(number);
    return true;
}

bool ReadCheckedFloatAttribute(const char* name, const char** attributes, int position, const char* shownName,
                               const char* element, float* out) {
    double number = 0.0;
    if (!ReadCheckedNumber(name, attributes, position, shownName, element, false, kAnyDecimal, &number)) {
        return false;
    }
    *out = static_cast<float>(number);
    return true;
}

void SwapIfReversed(const char* element, const char* lowName, float* low, const char* highName, float* high) {
    if (*low > *high) {
        char text[160];
        std::snprintf(text, sizeof text, "'%s' of '%s' is %g, above its '%s' %g; the game swaps them", lowName, element,
                      static_cast<double>(*low), highName, static_cast<double>(*high));
        ConfigWarning(text);
        std::swap(*low, *high);
    }
}

bool IsConfigSection(const char* name) { return Named(kSections, name); }

bool CheckConfigElement(const char* section, const char* name, unsigned long line, const char** attributes) {
    // The game plays no sound: the section is said once, and what it holds goes with it.
    if (section == nullptr && _stricmp(name, "Audio") == 0) {
        ConfigWarning("the 'Audio' section is left out: the game plays no sound");
        return false;
    }
    std::string where;
    if (section == nullptr ? IsConfigSection(name) : Takes(section, name, &where)) {
        if (section == nullptr) {
            Reading() = {name, {}};
        }
        Open(name, attributes);
        return true;
    }
    std::string closest;
    if (where.empty()) {
        std::vector<std::string> known = section == nullptr ? Words(kSections) : std::vector<std::string>{};
        for (const ElementRule& rule : kRules) {
            if (section != nullptr && _stricmp(rule.section, section) == 0) {
                const std::vector<std::string> names = Words(rule.names);
                known.insert(known.end(), names.begin(), names.end());
            }
        }
        std::size_t fewest = 3; // more edits than two: no misspelling of it
        for (const std::string& candidate : known) {
            const std::size_t edits = Edits(candidate, name);
            if (edits < fewest && edits < candidate.size() / 2) {
                fewest = edits;
                closest = candidate;
            }
        }
    }
    UnknownElements().push_back({name, line, closest});
    ConfigWarning("'" + std::string(name) + "' is not " +
                  (section == nullptr ? std::string("a section the game knows")
                                      : "an element the '" + std::string(section) + "' section knows" +
                                            (where.empty() ? "" : " at this place")) +
                  "; it is left out" + (closest.empty() ? "" : " (is it '" + closest + "' misspelt?)") +
                  (where.empty() ? "" : ": " + where));
    return false;
}

void ConfigElementEnded(const char* name) {
    // One of the section's own name stays open to the section's end.
    SectionState& reading = Reading();
    if (_stricmp(name, reading.section.c_str()) != 0) {
        std::erase_if(reading.open, [&](const OpenElement& e) { return _stricmp(e.name.c_str(), name) == 0; });
    }
}

void ForgetUnknownElements() {
    UnknownElements().clear();
    Reading() = {};
}

std::string UnknownElementInPlaceOf(const char* wanted) {
    for (const UnknownElement& e : UnknownElements()) {
        if (_stricmp(e.closest.c_str(), wanted) == 0) {
            return std::string(LastConfigFileName()) + " line " + std::to_string(e.line) + ": '" + e.name +
                   "' stands where '" + wanted + "' would, an element the game does not know";
        }
    }
    return "";
}
void SetConfigRoot(const char* name, unsigned long line) {
    RootPlace() = name == nullptr ? ""
                                  : "its '" + std::string(name) + "' element (" + LastConfigFileName() + " line " +
                                        std::to_string(line) + ")";
}

std::string ConfigRootPlace() { return RootPlace(); }

std::string ConfigPlace() {
    if (g_placeFile == nullptr || g_placeLine == 0) {
        return "";
    }
    return std::string(g_placeFile) + " line " + std::to_string(g_placeLine);
}

namespace {

// Where the configuration named a data file: the place ("config.xml line 45") and what names it
// there ("'value' of 'AiPathData'").
struct FileOrigin {
    std::string place;
    std::string what;
};

// The data files the configuration named, by DataFileKey.
std::map<std::string, FileOrigin>& NamedFiles() {
    static std::map<std::string, FileOrigin> files;
    return files;
}

} // namespace

std::string DataFileKey(const std::string& path) {
    std::string key = path;
    for (char& c : key) {
        c = c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    while (key.compare(0, 2, "./") == 0) {
        key.erase(0, 2);
    }
    return key;
}

void NoteConfigFile(const char* path, const char* attribute) {
    std::string place = ConfigPlace();
    if (path == nullptr || path[0] == '\0' || place.empty()) {
        return;
    }
    std::string what;
    if (attribute != nullptr && g_placeElement != nullptr) {
        what = "'" + std::string(attribute) + "' of '" + g_placeElement + "'";
    }
    // The first place that names a file is the one said.
    NamedFiles().emplace(DataFileKey(path), FileOrigin{std::move(place), std::move(what)});
}

std::string WithFileOrigin(const std::string& path, const std::string& text, const std::string& gap) {
    const auto found = NamedFiles().find(DataFileKey(path));
    if (found == NamedFiles().end()) {
        return text;
    }
    const FileOrigin& origin = found->second;
    const std::string named = origin.place + " names it" + (origin.what.empty() ? "" : " (" + origin.what + ")");
    return text.find(named) != std::string::npos ? text : text + gap + named + ".";
}

void DataFileWarning(const std::string& path, const std::string& text) {
    SkelWarningMessage(WithFileOrigin(path, text, !text.empty() && text.back() == '.' ? " " : ". ").c_str());
}

void ForgetConfigFiles() { NamedFiles().clear(); }

namespace {

struct LeftOut {
    std::string place; // "config.xml line 20: "
    std::string name;
    bool section;
};
struct BeforeLevel {
    bool said = false;
    std::vector<LeftOut> held;
};
BeforeLevel& LeftBeforeLevel() {
    static BeforeLevel before;
    return before;
}

std::string LeftOutText(const std::string& name, bool section) {
    return "a '" + name + "'" + (section ? " section" : "") +
           " before the 'Worlds' section is left out: it needs the level";
}

} // namespace

void LeaveOutBeforeLevel(const char* name, bool section) {
    BeforeLevel& before = LeftBeforeLevel();
    if (!before.said) {
        before.said = true;
        ConfigWarning(LeftOutText(name, section));
        return;
    }
    before.held.push_back({WarningPlace(), name, section});
}

void SayLeftOutBeforeLevel() {
    for (const LeftOut& left : LeftBeforeLevel().held) {
        SkelWarningMessage((left.place + LeftOutText(left.name, left.section)).c_str());
    }
    LeftBeforeLevel() = {};
}

void FoldLeftOutBeforeLevel() {
    // One more is said as the first was: a line of its own.
    if (LeftBeforeLevel().held.size() < 2) {
        SayLeftOutBeforeLevel();
        return;
    }
    const std::vector<LeftOut> held = std::move(LeftBeforeLevel().held);
    LeftBeforeLevel() = {};
    // The kinds in the order first met, each with its count: "'Camera', 2 'Character', 9 'Door'".
    std::vector<std::pair<std::string, int>> kinds;
    for (const LeftOut& left : held) {
        auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const auto& k) { return k.first == left.name; });
        if (kind == kinds.end()) {
            kinds.emplace_back(left.name, 1);
        } else {
            ++kind->second;
        }
    }
    std::string list;
    for (const auto& [name, count] : kinds) {
        list +=
            (list.empty() ? "" : ", ") + (count > 1 ? std::to_string(count) + " " : std::string()) + "'" + name + "'";
    }
    SkelWarningMessage((held.front().place + std::to_string(held.size()) +
                        " more left out from this line on, as no 'Worlds' section comes before them: " + list)
                           .c_str());
}
