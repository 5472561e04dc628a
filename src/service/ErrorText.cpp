#include "service/ErrorText.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kErrorTextSize = 256;
constexpr int kFormatOverhead = 14;  // " (0x", eight hex digits, ")" and the terminator, less the line end

char errorText[kErrorTextSize];

}  // namespace

const char* ErrorText(uint32_t code) {
    char message[kErrorTextSize * 2];
    const int n = SystemMessageText(code, message, sizeof message);
    return ErrorTextFrom(code, message, n);
}

const char* ErrorTextFrom(uint32_t code, const char* message, int n) {
    if (n == 0 || n + kFormatOverhead > kErrorTextSize) {
        errorText[0] = '\0';
        return errorText;
    }
    // The platform text less its line end; the length rule above keeps the result within the buffer.
    (void)std::snprintf(errorText, sizeof errorText, "%.*s (0x%x)", n - 2, message,
                        static_cast<unsigned>(code));
    return errorText;
}

int OwnMessageText(const char* message, char* text, int size) {
    const int n = static_cast<int>(std::strlen(message));
    if (n + 1 > size) return 0;
    std::memcpy(text, message, static_cast<size_t>(n) + 1);
    return n + 2;  // counted with the line end that system texts carry on Windows
}
