#include "config/Ini.h"

namespace {

constexpr const char* kBlanks = " \t";

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The line without a ";" comment that follows a blank (a ";" inside a value stays).
std::string WithoutComment(const std::string& line) {
    for (size_t at = line.find(';'); at != std::string::npos; at = line.find(';', at + 1))
        if (at > 0 && (line[at - 1] == ' ' || line[at - 1] == '\t')) return line.substr(0, at);
    return line;
}

}  // namespace

bool ParseIni(const std::string& text, std::vector<IniEntry>& entries, std::string& problem) {
    entries.clear();
    if (text.find('\0') != std::string::npos) {
        problem = "it holds a NUL byte";
        return false;
    }
    // A byte-order mark, as some Windows editors write one.
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    std::string section;
    size_t sectionLine = 0;
    for (size_t number = 1; at < text.size(); ++number) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string raw = text.substr(at, end - at);
        at = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        const std::string where = "line " + std::to_string(number);
        if (raw.size() > kMaxIniLineCharacters) {
            problem = where + " is longer than " + std::to_string(kMaxIniLineCharacters) + " characters";
            return false;
        }
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            const std::string rest = close == std::string::npos ? "" : Trim(line.substr(close + 1));
            section = close == std::string::npos ? "" : Trim(line.substr(1, close - 1));
            if (section.empty() || !(rest.empty() || rest[0] == ';' || rest[0] == '#')) {
                problem = where + " is not a section name in brackets";
                return false;
            }
            sectionLine = number;
            continue;
        }
        const size_t equals = line.find_first_of("=:");
        const std::string name = equals == std::string::npos ? "" : Trim(line.substr(0, equals));
        if (name.empty()) {
            problem = where + " is no section, setting or comment";
            return false;
        }
        entries.push_back(
            {section, name, Trim(WithoutComment(line.substr(equals + 1))), number, sectionLine});
    }
    return true;
}
