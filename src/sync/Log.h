#pragma once

// 1 after the "debug" command: only then is anything logged.
extern int ConsoleMode;

// One line to standard output, flushed at once; nothing unless ConsoleMode is set.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests capture the lines instead of printing them.
using LogSink = void (*)(const char* line);
void SetLogSink(LogSink sink);  // null prints again
