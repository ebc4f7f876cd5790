#include "framework/config_reader.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

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
const char* g_placeFile = nullptr;

// A text that holds one number and nothing else but blanks around it.
bool OnlyBlanksFrom(const char* end) {
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r') {
        ++end;
    }
    return *end == '\0';
}

// A warning for a value that does not read as a number; the value it had stays.
void ReportNotANumber(const char* name, const char* value) {
    std::string text = "configuration";
    if (g_placeLine != 0) {
        text += " line " + std::to_string(g_placeLine);
    }
    text += ": '" + std::string(name) + "'";
    if (g_placeElement != nullptr) {
        text += " of '" + std::string(g_placeElement) + "'";
    }
    text += " is '" + std::string(value) + "', not a number; it is left as it was";
    SkelWarningMessage(text.c_str());
}

} // namespace

void SetConfigPlace(const char* element, unsigned long line) {
    g_placeElement = element;
    g_placeLine = line;
}

bool ReadIntAttribute(const char* name, const char** attributes, int position, int* out) {
    const char* value = Value(name, attributes, position);
    if (value == nullptr) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(value, &end, 10);
    if (end != value) {
        *out = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
    } else {
        ReportNotANumber(name, value);
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
    if (end != value) {
        // Too large for a float reads as infinity, as a float parse would give.
        *out = std::fabs(number) > FLT_MAX && std::isfinite(number)
                   ? std::copysign(std::numeric_limits<float>::infinity(), static_cast<float>(number > 0 ? 1 : -1))
                   : static_cast<float>(number);
    } else {
        ReportNotANumber(name, value);
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

void SetConfigFileName(const char* fileName) { g_placeFile = fileName; }

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
    *out = static_cast<float>(number);
    return true;
}
