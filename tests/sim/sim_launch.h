// Starting and stopping sentrova-sim from a test or a benchmark.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct SimProcess {
  pid_t pid = -1;
  int output = -1;  // read end of the simulator's stdout
};

// Makes a fresh folder under $TMPDIR (or /tmp) for the comN links.
bool MakeLinkFolder(std::string* folder);

// Removes the folder, with any comN links a killed simulator left behind.
void RemoveLinkFolder(const std::string& folder);

// Starts the simulator with the arguments and waits until it prints "ready", for at
// most deadlineSeconds. The simulator gets SIGTERM if the caller dies first. On
// failure no simulator is left running.
bool StartSimulator(const char* path, const std::vector<std::string>& args, int deadlineSeconds,
                    SimProcess* sim);

// Sends SIGTERM, reaps it (SIGKILL after a few seconds) and returns true when it
// exited by itself with status 0.
bool StopSimulator(SimProcess* sim);

// True when nobody holds the device that folder/comN links to: an exclusive lock is to
// be had at once.
bool PortIsFree(const std::string& folder, int32_t port);
