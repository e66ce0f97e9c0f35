#pragma once

namespace norvane {

inline constexpr char kSingleInstanceName[] = "MyUniqueIdentifier";

// The whole start-up: single-instance guard, the three windows in their order, the
// message loop. Returns the process's exit code.
int runApplication(int argc, char** argv);

// True when a window can be shown here; otherwise says on stderr how to run the program.
bool displayAvailable();

}  // namespace norvane
