#pragma once

#include <cstddef>
#include <string>

// The small text files the daemon keeps itself, read and written so that no one else can steer them:
// never through a link planted at the path, never half written, never left behind half done.

struct FileRead {
    enum Result { kRead, kMissing, kRefused, kFailed } result;
    const char* reason;  // kRefused and kFailed: why, in words, for a log line
    int error;           // kFailed: the platform's error number
};

// The whole of a regular file at path, at most maxBytes, opened without following a link and, on POSIX,
// only when it belongs to this process's user.
FileRead ReadOwnFile(const char* path, size_t maxBytes, std::string& text);

// Writes text into a new file created exclusively beside path (readable by its owner only, or by everyone
// when readableByAll), flushes it to disk and renames it over path: readers see the old file or the new
// one, whole. False, with path as it was and nothing left beside it, on any failure (a full disk).
bool WriteFileAtomically(const char* path, const std::string& text, bool readableByAll);
