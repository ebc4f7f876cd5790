#include "framework/config_reader.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>

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

// Numbers beyond this, either way, are larger than any size, position, mass or time a level could
// have: such a value (or one that is not finite) is a damaged one.
constexpr double kLargestSensibleNumber = 1.0e6;

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

// A warning for a value that does not read as a number (a whole one where `whole`) from its first
// character to its last; the value it had stays.
void ReportNotANumber(const char* name, const char* value, bool whole) {
    const std::string text = WarningPlace() + AttributeOf(name) + " is '" + value + "', not " +
                             (whole ? "a whole number" : "a number") + "; it is left as it was";
    SkelWarningMessage(text.c_str());
}

// A warning for a number too large for what it sets, or not finite; the value it had stays.
void ReportOutOfReach(const char* name, const char* value) {
    const std::string text = WarningPlace() + AttributeOf(name) + " is '" + value +
                             "', beyond any size the level could have; it is left as it was";
    SkelWarningMessage(text.c_str());
}

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

bool ReadIntAttribute(const char* name, const char** attributes, int position, int* out) {
    const char* value = Value(name, attributes, position);
    if (value == nullptr) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(value, &end, 10);
    if (end == value || !OnlyBlanksFrom(end)) {
        ReportNotANumber(name, value, true);
    } else if (errno == ERANGE || number > INT_MAX || number < INT_MIN) {
        ReportOutOfReach(name, value);
    } else {
        *out = static_cast<int>(number);
    }
    return true;
}

bool ReadFloatAttribute(const char* name, const char** attributes, int position, float* out) {
    const char* value = Value(name, attributes, position);
    if (value == nullptr) {
        return false;
    }
    char* end = nullptr;
    const double number = crt_strtod(value, &end);
    if (end == value || !OnlyBlanksFrom(end)) {
        ReportNotANumber(name, value, false);
    } else if (!std::isfinite(number) || std::fabs(number) > kLargestSensibleNumber) {
        ReportOutOfReach(name, value);
    } else {
        *out = static_cast<float>(number);
    }
    return true;
}

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

bool ReadCheckedIntAttribute(const char* name, const char** attributes, int position, const char* shownName,
                             const char* element, int least, int most, int* out) {
    const char* value = Value(name, attributes, position);
    if (value == nullptr) {
        ErrorBox(MissingAttributeMessage(shownName, element).c_str());
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(value, &end, 10);
    std::string cause;
    if (end == value || !OnlyBlanksFrom(end)) {
        cause = "Its value '" + std::string(value) + "' is not a whole number.";
    } else if (errno == ERANGE || number < least || number > most) {
        cause = "Its value " + std::string(value) + " is outside " + std::to_string(least) + " to " +
                std::to_string(most) + ".";
    } else {
        *out = static_cast<int>(number);
        return true;
    }
    ErrorBox(AttributeFaultMessage(shownName, element, cause).c_str());
    return false;
}

bool ReadCheckedFloatAttribute(const char* name, const char** attributes, int position, const char* shownName,
                               const char* element, float* out) {
    const char* value = Value(name, attributes, position);
    if (value == nullptr) {
        ErrorBox(MissingAttributeMessage(shownName, element).c_str());
        return false;
    }
    char* end = nullptr;
    const double number = crt_strtod(value, &end);
    if (end == value || !OnlyBlanksFrom(end) || !std::isfinite(number) || std::fabs(number) > FLT_MAX) {
        ErrorBox(AttributeFaultMessage(shownName, element, "Its value '" + std::string(value) + "' is not a number.")
                     .c_str());
        return false;
    }
    if (std::fabs(number) > kLargestSensibleNumber) {
        ErrorBox(AttributeFaultMessage(shownName, element,
                                       "Its value " + std::string(value) + " is beyond any size the level could have.")
                     .c_str());
        return false;
    }
    *out = static_cast<float>(number);
    return true;
}

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

std::string ConfigFileOrigin(const std::string& path) {
    const auto found = NamedFiles().find(DataFileKey(path));
    if (found == NamedFiles().end()) {
        return "";
    }
    const FileOrigin& origin = found->second;
    return origin.place + " names it" + (origin.what.empty() ? "" : " (" + origin.what + ")");
}

void DataFileWarning(const std::string& path, const std::string& text) {
    std::string place = ConfigPlace();
    if (place.empty()) {
        const auto found = NamedFiles().find(DataFileKey(path));
        place = found != NamedFiles().end() ? found->second.place : "";
    }
    SkelWarningMessage(((place.empty() ? "" : place + ": ") + text).c_str());
}

void ForgetConfigFiles() { NamedFiles().clear(); }
