#pragma once
// Attributes of the configuration that must be there and read whole: sizes and counts held to a
// range before anything is made with them, numbers that must read. What is wrong shows the error
// box with the usual missing-attribute text followed by the cause.

#include <string>

// The configuration file being read, named in the causes below (null when none is being read).
void SetConfigFileName(const char* fileName);
// The configuration file read last ("config.xml" before any), for messages after the reading.
const char* LastConfigFileName();

// Why the configuration file read last was not read to its end ("config.xml line 9: ..."), empty
// when it was. Every error box shown after the reading adds it: what the box misses may be in the
// part left out.
void SetConfigReadFault(const std::string& fault);
const std::string& ConfigReadFault();

// Reads attribute `position` of `element` as a whole number from `least` to `most`. A missing
// attribute, a text that is not one whole number, or a value outside the range shows the error
// box with the missing-attribute text for `shownName` and `element`, followed by the cause (the
// value, the range, the file and the line), and returns false with *out unchanged.
bool ReadCheckedIntAttribute(const char* name, const char** attributes, int position, const char* shownName,
                             const char* element, int least, int most, int* out);
// The same for a decimal number: finite and, either way, no more than a million (no level is larger).
bool ReadCheckedFloatAttribute(const char* name, const char** attributes, int position, const char* shownName,
                               const char* element, float* out);
// The missing-attribute text for `attribute` and `element` followed by a line that says what is
// wrong, and where in the configuration file.
std::string AttributeFaultMessage(const char* attribute, const char* element, const std::string& cause);

// A pair of limits given the wrong way round (`low` above `high`) is swapped, with a warning that
// names both: "'minDistance' of 'Follow' is 10, above its 'maxDistance' 2; the game swaps them".
void SwapIfReversed(const char* element, const char* lowName, float* low, const char* highName, float* high);

// Whether `name` is a section the configuration's top level holds.
bool IsConfigSection(const char* name);
// Whether the game reads an element named `name` (with its attributes) inside `section` (null: at
// the top level, outside every section) where it stands: below the elements the section read
// before it and has not seen end (ConfigElementEnded). One it does not is said with its line (and
// the known name it may be a misspelling of, or where it is read) and remembered until
// ForgetUnknownElements.
bool CheckConfigElement(const char* section, const char* name, unsigned long line, const char** attributes = nullptr);
void ConfigElementEnded(const char* name);
void ForgetUnknownElements();
// For a section or element the game needs and did not find: "config.xml line 40: 'Aplication'
// stands where 'Application' would, an element the game does not know" when an element it did
// not know is near that name; empty when none is.
std::string UnknownElementInPlaceOf(const char* wanted);
// The file's outermost element, which holds the sections, as the boxes about a missing section
// name it: "its 'Config' element (config.xml line 2)"; empty before any (null: forgotten).
void SetConfigRoot(const char* name, unsigned long line);
std::string ConfigRootPlace();
// "config.xml line 12" while the configuration file is read, else empty.
std::string ConfigPlace();
// Records that the element being read names the data file `path` in `attribute`: a fault of the
// file found later (a model loaded for a character, the AI world file) is said with that place.
// The first place that names a file is kept.
void NoteConfigFile(const char* path, const char* attribute);
// A message about the data file `path`, then, after `gap`, the line of config.xml that names the
// file ("config.xml line 45 names it ('value' of 'AiPathData').", '/' or '\' between folders and
// letters in either case alike) unless the text says it already. A file config.xml does not name:
// the text alone, never with the line being read, which names something else.
std::string WithFileOrigin(const std::string& path, const std::string& text, const std::string& gap);
// A data file's path as a key: '\' and '/' alike, letters in either case alike (the file systems
// find a file either way), without a leading "./".
std::string DataFileKey(const std::string& path);
// A warning about the data file `path` (text names the file), WithFileOrigin on the same line:
// "models/soldier.dff: ... config.xml line 47 names it ('clump' of 'Geometry').".
void DataFileWarning(const std::string& path, const std::string& text);
// A section or level object (`name`, `section` for a section) met before the 'Worlds' section,
// left out as it needs the level. The first is said at once; the rest are held, to be said one by
// one with their lines when a 'Worlds' section comes after all (SayLeftOutBeforeLevel, at its
// start), or folded into one line at the end of a reading without it (FoldLeftOutBeforeLevel).
void LeaveOutBeforeLevel(const char* name, bool section);
void SayLeftOutBeforeLevel();
void FoldLeftOutBeforeLevel();
// Forgets the files named so far (a new application reads its configuration afresh).
void ForgetConfigFiles();
