#pragma once

#include <cstdint>

// Zelkor's own error codes, in the application range (bit 29) so they never meet a system code.
constexpr uint32_t kErrorNoServiceManager = 0x20000001;
constexpr uint32_t kErrorServiceExists = 0x20000002;
constexpr uint32_t kErrorServiceMissing = 0x20000003;
constexpr uint32_t kErrorServiceManagerFailed = 0x20000004;
constexpr uint32_t kErrorProgramWritable = 0x20000005;
constexpr uint32_t kErrorProgramHidden = 0x20000006;

// One line of text for an error code: the system's message and the code, "%s (0x%x)"; empty when
// the system has no text for it. The text lives in one buffer that the next call rewrites.
const char* ErrorText(uint32_t code);

// The rule behind ErrorText, given the platform's message (without its line end) and the length n the
// platform reported for it (with the line end): empty when n is 0 or the result would not fit.
const char* ErrorTextFrom(uint32_t code, const char* message, int n);

// The platform's message for the code, without its line end, into text; returns the length the
// platform reports for it including a two-character line end, or 0 when there is none.
int SystemMessageText(uint32_t code, char* text, int size);

// A message of Zelkor's own (for its own codes) in the same form as SystemMessageText.
int OwnMessageText(const char* message, char* text, int size);
