#include "sync/CorrectorState.h"

CorrectorState correctorState;
