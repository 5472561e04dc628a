#include "config/Parse.h"

bool ParseCount(const char* text, uint32_t& result) {
    if (text == nullptr || *text == '\0') return false;
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > UINT32_MAX) return false;
    }
    result = static_cast<uint32_t>(value);
    return true;
}

int ParseProfileInt(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    bool negative = false;
    if (*p == '-' || *p == '+') negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;  // saturate; only zero or not matters
    }
    return static_cast<int>(negative ? -value : value);
}

std::vector<std::string> SplitWords(const std::string& text, const char* separators) {
    std::vector<std::string> words;
    for (size_t at = text.find_first_not_of(separators); at != std::string::npos;
         at = text.find_first_not_of(separators, at)) {
        const size_t end = text.find_first_of(separators, at);
        words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end;
    }
    return words;
}
