#pragma once

#include <cstddef>
#include <string>

// The small text files the daemon reads and keeps, read and written so that no one else can steer them:
// never through a link planted at the path, never half written, never left behind half done.

struct FileRead {
    enum Result { kRead, kMissing, kRefused, kFailed } result;
    const char* reason;  // kRefused and kFailed: why, in words, for a log line
    int error;           // kFailed: the platform's error number
};

enum class FileOwner {
    kThisUser,  // a file the daemon keeps itself: never through a link, and on POSIX only this user's
    kAnyone,    // a file the administrator wrote, such as the configuration
    kSecret,  // a file of secrets the administrator wrote: on POSIX refused when group or others may read it
};

// The whole of a regular file at path, at most maxBytes.
FileRead ReadTextFile(const char* path, size_t maxBytes, FileOwner owner, std::string& text);

// Whether anyone but this process's user may change the file or folder at path, or what it holds: on
// POSIX another owner, or write for group or others; on Windows an owner, or an access-list entry with the
// right to write, delete or re-permit, for anyone but SYSTEM, Administrators, TrustedInstaller and this
// process's account. A link counts as changeable. Without newEntriesCount, on Windows, the rights to add
// files and folders do not count (a folder above the one that matters: new names there replace nothing).
// error: 0, or the platform's error when path could not be examined (then it counts as changeable too).
bool OthersMayChange(const char* path, bool newEntriesCount, unsigned long& error);

// The number (from 1) of the first line of text longer than maxCharacters, its "\n" or "\r\n" not counted;
// 0 when there is none.
size_t FirstLineLongerThan(const std::string& text, size_t maxCharacters);

// Writes text into a new file created exclusively beside path (readable by its owner only, or by everyone
// when readableByAll), flushes it to disk when durable, and renames it over path: readers see the old file
// or the new one, whole. False, with path as it was and nothing left beside it, on any failure (a full
// disk).
bool WriteFileAtomically(const char* path, const std::string& text, bool readableByAll, bool durable);
