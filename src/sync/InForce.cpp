#include "sync/InForce.h"

Settings settings;
Authentication authentication;
