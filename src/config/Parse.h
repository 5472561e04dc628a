#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The small parsers every setting is read with.

// An unsigned decimal count that fits 32 bits, nothing else: no sign, blank or unit.
bool ParseCount(const char* text, uint32_t& value);
// A private profile integer: optional blanks and sign, then the leading digits; anything unreadable is 0.
int ParseProfileInt(const char* text);
// The words of text between any of the separators (a list setting, a keys file line).
std::vector<std::string> SplitWords(const std::string& text, const char* separators);
