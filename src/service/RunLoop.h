#pragma once

// Starts the socket library and the one worker of the configured mode, then blocks until the
// StopEvent is set; ends the worker and the socket library before returning.
void RunTimeSync();

// The process entry: the first argument selects the command. Returns the exit code.
int Entry(int argc, char** argv);
