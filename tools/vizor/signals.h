// Ctrl-C and SIGTERM for the tool. Outside a stoppable or protected phase a
// signal ends the program at once (exit 128 + signal). In a stoppable phase
// (capture) the first one asks the loop to finish cleanly and a second one
// ends the program at once. In a protected phase (a write into the camera's
// flash, saving the virtual flash) every signal waits: the tool says so once
// and stops when the phase is over. The exit code always names the first
// signal, also when a later one ends the tool as it leaves.
#pragma once

namespace vztool {

// Installs the handlers for SIGINT and SIGTERM (in immediate mode).
void install_signal_handlers();

// The first signal received so far, 0 when none.
int pending_signal();
// 128 + the pending signal (130 SIGINT, 143 SIGTERM), 0 when none.
int signal_exit_code();
// Short name of a signal for messages ("SIGINT").
const char *signal_name(int sig);

// While alive, the first signal only sets pending_signal().
class StoppablePhase {
public:
    StoppablePhase();
    ~StoppablePhase();
    StoppablePhase(const StoppablePhase &) = delete;
    StoppablePhase &operator=(const StoppablePhase &) = delete;
};

// While alive, no signal ends the program; what the user is told is what.
// Phases nest; the outermost one decides.
class ProtectedPhase {
public:
    explicit ProtectedPhase(const char *what);
    ~ProtectedPhase();
    ProtectedPhase(const ProtectedPhase &) = delete;
    ProtectedPhase &operator=(const ProtectedPhase &) = delete;

private:
    int saved_;
};

}  // namespace vztool
