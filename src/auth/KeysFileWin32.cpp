#include "auth/Keys.h"
#include "base/TextFile.h"

FileRead ReadKeysFile(const std::string& path, size_t maxBytes, std::string& text) {
    return ReadTextFile(path.c_str(), maxBytes, FileOwner::kSecret, text);
}
