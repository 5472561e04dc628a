#pragma once

#include "auth/Keys.h"
#include "config/Settings.h"

// What a worker runs with: the settings and the keys in force, read once at start by the run loop
// (LoadSettings); only the worker reads them after that.

struct Authentication {
    KeyList keys;
};

extern Settings settings;
extern Authentication authentication;
