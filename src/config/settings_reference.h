// The one table of every setting the updater reads: section, key, default, range and what it
// does. The README's settings reference and the commented settings file a vendor starts from
// (mirovane-embed --defaults) are both printed from it, so neither can drift from the other;
// a test compares the README with the table and the table with the keys the sources read.
// Values in, values out; any thread.
#pragma once
#include <string>
#include <vector>

// Where a setting is read from.
enum class SettingPlace {
    SettingsFile,   // mirovane.ini in the application directory (the embedded settings)
    TemporaryCopy,  // kept by the updater in the copy in its temporary directory: never set it
    KelvorbookIni,  // Kelvorbook.ini in the parent of the updater's own folder
};

struct SettingInfo {
    const wchar_t* section;   // without brackets
    const wchar_t* key;       // "<stage name>" stands for one key per stage
    const wchar_t* aliases;   // other spellings read the same way, separated by ", "; may be empty
    const wchar_t* type;      // "text", "Boolean", "integer", "seconds", ...
    const wchar_t* fallback;  // what an empty or missing value means
    const wchar_t* range;     // the values that mean something
    const wchar_t* meaning;   // what it does, one or two sentences
    // The value in the settings file a vendor starts from: nullptr leaves the key out (as a
    // comment showing the key), "" writes it empty.
    const wchar_t* starterValue;
    SettingPlace place;
};

// Every setting, grouped by section in the order of the settings file.
const std::vector<SettingInfo>& SettingsReference();

// The sections in file order, each once.
std::vector<std::wstring> SettingSections();

// The README's settings reference as Markdown (a table per section), ending in a line feed.
std::wstring SettingsReferenceMarkdown();

// A commented settings file to start from: every setting of the settings file with its
// meaning, default and range as comment lines; the keys a vendor must set carry placeholder
// values, the others are commented out. The language is English. Lines end in CR LF.
std::wstring StarterSettingsText();

// One problem of a settings text, with its 1-based line number.
struct SettingsProblem {
    int line;
    std::wstring text;
};
// Parses settings text the way the private-profile reader will see it and returns what is
// wrong: a line that is neither blank, a comment (";" or "#"), a "[section]" nor "key=value";
// a key before the first section; an unterminated section header.
std::vector<SettingsProblem> SettingsSyntaxProblems(const std::wstring& text);

// Keys given in the text that the table does not know, as "[section] key" (case-insensitive,
// as the reader compares them); the stage-hook sections accept the stage names and
// UpdateStartup only.
std::vector<std::wstring> UnknownSettings(const std::wstring& text);

// The value of section/key in settings text (case-insensitive names, first occurrence,
// trimmed), as the private-profile reader returns it; empty when absent.
std::wstring SettingValueIn(const std::wstring& text, const std::wstring& section, const std::wstring& key);

// The stage names the two hook sections take as keys (besides UpdateStartup), in stage order.
std::vector<std::wstring> StageHookKeys();
