#pragma once

// Whether the process that wrote a status file still runs (and, where the platform tells, is Zelkor).
bool ProcessRunning(unsigned long pid);
