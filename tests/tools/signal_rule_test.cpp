// The tool's signal rules, signal by signal in a child process: which signal
// ends the tool, which waits, and the exit code, which always names the first
// signal (also when a later one lands while the tool is already leaving).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "signals.h"

namespace {

enum class Phase { kNone, kStoppable, kProtected };

struct Case {
    const char *name;
    Phase phase;
    int inside[2];  // raised during the phase (0: none)
    int after;      // raised once the phase is over (0: none)
    int code;       // the child's exit code; 0 = it ran to the end
};

// Runs one case in a child; a child that is not ended by a signal reports
// signal_exit_code() + 100 (so that "ran to the end" differs from an _exit).
int run_child(const Case &c) {
    const pid_t pid = fork();
    if (pid == 0) {
        vztool::install_signal_handlers();
        {
            std::unique_ptr<vztool::StoppablePhase> s;
            std::unique_ptr<vztool::ProtectedPhase> p;
            if (c.phase == Phase::kStoppable) s = std::make_unique<vztool::StoppablePhase>();
            if (c.phase == Phase::kProtected)
                p = std::make_unique<vztool::ProtectedPhase>("a test");
            for (int sig : c.inside)
                if (sig) raise(sig);
        }
        if (c.after) raise(c.after);
        _exit(100 + vztool::signal_exit_code());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ToolSignalRules, ExitCodeNamesTheFirstSignal) {
    const Case cases[] = {
        {"no signal", Phase::kNone, {0, 0}, 0, 100},
        {"immediate SIGTERM", Phase::kNone, {SIGTERM, 0}, 0, 143},
        {"capture asked to stop", Phase::kStoppable, {SIGINT, 0}, 0, 100 + 130},
        {"second signal in a capture", Phase::kStoppable, {SIGINT, SIGTERM}, 0, 130},
        {"signals wait for the flash", Phase::kProtected, {SIGINT, SIGTERM}, 0, 100 + 130},
        {"late signal after the flash", Phase::kProtected, {SIGINT, SIGTERM}, SIGTERM, 130},
        {"late signal after a capture", Phase::kStoppable, {SIGTERM, 0}, SIGINT, 143},
    };
    for (const Case &c : cases) EXPECT_EQ(run_child(c), c.code) << c.name;
}
