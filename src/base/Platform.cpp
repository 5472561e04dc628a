#include "base/Platform.h"

namespace {

Platform installed;

}  // namespace

const Platform& CurrentPlatform() {
    return installed;
}

void InstallPlatform(const Platform& platform) {
    installed = platform;
}

void ResetPlatform() {
    installed = Platform{};
}
