#pragma once
// The configuration reader's pieces shared by every section handler: the handler interface, the
// two positional attribute readers and the text of a missing-attribute message.
//
// Attributes come as expat gives them: a null-terminated array of texts, name and value
// alternating; attribute k of an element is the pair at positions 2k and 2k + 1.

#include <span>
#include <string>

class CConfigSectionHandler {
public:
    virtual ~CConfigSectionHandler() = default;
    // One element inside the handler's section (and, for the section's own handler, the
    // section's opening element). The result is for the caller's information only.
    virtual bool StartElement(const char* name, const char** attributes);
    virtual bool EndElement(const char* name);
};

// The element the configuration's parser is handing out, its line (0 when not known) and its
// attributes; the application's reader sets it before each element and clears it (null, 0) when
// done. A number that does not read is reported with it, and so is every error box meanwhile.
void SetConfigPlace(const char* element, unsigned long line, const char** attributes = nullptr);

// An error box's text as shown while the configuration file is read: the message, then the file
// and the line on the line below (a missing attribute's message with its cause: the attribute
// is not there, or not at its place). Unchanged outside the reading or when it names them.
std::string WithConfigPlace(const char* text);

// A warning on standard error that starts with the file and the line being read ("config.xml
// line 12: "), for what the game leaves out and plays on without.
void ConfigWarning(const std::string& text);

// Reads attribute `position` of an element as a whole number: false when the element has no
// attribute at that position, when its name differs from `name` (ASCII case ignored) or its value
// is missing. The value is read whole (blanks around it aside: not "2xyz", "4.5" or "1e3") and held
// to the attribute's range (the configuration's table of ranges; any 32-bit number for one it does
// not list). One that does not read or lies outside counts as present and leaves *out as it was
// (brought inside the range when it was not): a warning names the attribute, its text, why, the
// value the game uses instead, and the file,
// element and line set by SetConfigPlace; for the values the game cannot play with (the scale,
// the camera's clip planes, a character's size and speeds) the error box says it instead.
bool ReadIntAttribute(const char* name, const char** attributes, int position, int* out);
// The same for a decimal number, read whole too (not "4,5" or "4.5.1"); one not in the table must be
// finite and no more than a million either way (no level is that large).
bool ReadFloatAttribute(const char* name, const char** attributes, int position, float* out);
// What became of the value the last call of the two readers above found: taken (so too when it
// found none), kept as it was (said), or refused with the error box.
enum class NumberFate { Taken, Kept, Refused };
NumberFate LastNumberFate();
// A number of the configuration with a range of its own, and what a value outside it (or one that
// does not read) does: the error box, which stops the game (`refuse`), or a warning with the value
// the game uses instead. That value is always inside the range: the one held, or where that lies
// outside too (a default the range does not hold), the nearest end, or `fallback` for a least that
// is not included.
struct ConfigNumberRange {
    const char* element;
    const char* attribute;
    double least;
    double most;
    bool aboveLeast; // the least value itself is outside
    bool refuse;
    const char* why; // what the value is for, said with a refusal; may be null
    double fallback = 0.0;
};
// Every number of the configuration with a range of its own.
std::span<const ConfigNumberRange> ConfigNumberRanges();

// The value text of attribute `position` when its name is `name` (ASCII case ignored), else null.
const char* ReadTextAttribute(const char* name, const char** attributes, int position);

// "'<attribute>' attribute not found in '<element>' section.\nPlease update your XML file"
std::string MissingAttributeMessage(const char* attribute, const char* element);

// Title of the framework's error box.
inline constexpr const char* kErrorBoxTitle = "Orvanta AI Game Engine error handler";
// Message of a missing configuration file.
inline constexpr const char* kConfigNotFoundMessage =
    "Configuration file not found\n config.xml should be added in root directory";
// Bytes the reader hands the parser at a time.
inline constexpr int kConfigReadChunk = 1024;
