#include "base/TextFile.h"

size_t FirstLineLongerThan(const std::string& text, size_t maxCharacters) {
    size_t line = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        ++line;
        const size_t length = end - at - (end > at && text[end - 1] == '\r' ? 1 : 0);
        if (length > maxCharacters) return line;
        at = end + 1;
    }
    return 0;
}
