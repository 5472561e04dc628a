#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The INI text of the Linux configuration: "[section]" lines, "name=value" (or "name: value") lines, and
// comments, whole lines starting with ";" or "#" or the rest of a line from a ";" after a blank.

// A 64-entry Servers list must fit on one line.
constexpr size_t kMaxIniLineCharacters = 4096;

struct IniEntry {
    std::string section;  // as written; names match regardless of case
    std::string name;
    std::string value;
    size_t line;         // from 1
    size_t sectionLine;  // the section's own line; 0 before the first section
};

// Every setting of text in order, or false with why the text cannot be taken as a whole: a NUL byte, a
// line longer than kMaxIniLineCharacters, or a line that is no section, setting or comment (a setting read
// from what the writer meant as something else could be anything).
bool ParseIni(const std::string& text, std::vector<IniEntry>& entries, std::string& problem);
