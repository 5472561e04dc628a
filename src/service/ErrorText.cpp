#include "service/ErrorText.h"

#include <cstdio>

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
