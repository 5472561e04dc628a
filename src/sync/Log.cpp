#include "sync/Log.h"

#include <cstdarg>
#include <cstdio>

int ConsoleMode = 0;

namespace {

LogSink sink = nullptr;

}  // namespace

void SetLogSink(LogSink newSink) {
    sink = newSink;
}

// printf-style on purpose: the compiler checks every format against its arguments.
void LogMessage(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    if (!ConsoleMode) return;
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    int n = std::vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (n < 0) return;
    if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
    if (sink != nullptr) {
        sink(line);
        return;
    }
    // One write per line, flushed, so lines from two threads never interleave and pipes see them at once.
    line[n] = '\n';
    // A console that cannot take the line loses it; there is nowhere else to report that.
    (void)std::fwrite(line, 1, static_cast<size_t>(n) + 1, stdout);
    (void)std::fflush(stdout);
}
