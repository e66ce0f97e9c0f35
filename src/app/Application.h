#pragma once

class TFLogin;
class TFPrincipal;

namespace norvane {

inline constexpr char kSingleInstanceName[] = "MyUniqueIdentifier";

// The whole start-up: single-instance guard, the three windows in their order, the
// message loop. Returns the process's exit code.
int runApplication(int argc, char** argv);

// The login window picks the certificate into the main window's session, and hands the
// context of the run to the main window, which then shows.
void wireLogin(TFLogin& login, TFPrincipal& principal);

// True when a window can be shown here; otherwise says on stderr how to run the program.
bool displayAvailable();

}  // namespace norvane
