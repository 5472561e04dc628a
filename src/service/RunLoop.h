#pragma once

#include <cstdint>
#include <string>

// Reads the settings, starts the socket library and the one worker of the configured mode, then blocks
// until the StopEvent is set; ends the worker and the socket library before returning. Returns how the run
// ended: kWorkerEnded after a stop, kSettingsRefused when the settings refused the start, or the code the
// worker failed with. In the service a worker that fails sets the StopEvent; in the console it is left
// to the process's end.
uint32_t RunTimeSync();

// Reads the settings and the keys file, logs what is in force and what is ignored, and fills settings
// and the keys. False, with each reason logged as a failure and the first in refusal, when Zelkor must
// not start.
bool LoadSettings(std::string& refusal);
// The same for settings found elsewhere (zelkorstat --check-config with values to try).
struct FoundSettings;
bool LoadSettingsFrom(const FoundSettings& found, std::string& refusal);

// The process entry: the first argument selects the command. Returns the exit code.
int Entry(int argc, char** argv);
