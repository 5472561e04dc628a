#pragma once

#include <cstdint>

// The one worker thread of each mode: it waits at the worker gate, and between its waits the sync room
// does the work (the listener's datagrams, the broadcaster's broadcasts).

// How a worker ends: the code the service then stops with (its exit status on Linux, its service-specific
// code on Windows). Set-up failures end it with 1, as they always have.
constexpr uint32_t kWorkerEnded = 0;
constexpr uint32_t kNetworkFailed = 1;    // the socket could not be set up, or every receive fails
constexpr uint32_t kSettingsRefused = 6;  // the configuration cannot be used (systemd: NOTCONFIGURED)

// Thread entries; the argument is ignored. They return kNetworkFailed when set-up fails, and kWorkerEnded
// when their gate ends them.
uint32_t ListenerThread(void* argument);
uint32_t BroadcasterThread(void* argument);
