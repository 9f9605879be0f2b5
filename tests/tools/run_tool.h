// Runs the vizor tool in a child process and collects its exit code and
// output (stdout and stderr through files named by tag and process id).
#pragma once

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace vzt {

struct Ran {
    int code = -1;
    std::string out, err;
};

inline Ran run_tool(std::vector<std::string> args, const std::string &tag) {
    args.insert(args.begin(), VIZOR_TOOL_PATH);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = "/tmp/vizor-" + tag + "-" + std::to_string(getpid()),
                      err = out + ".err";
    const pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Ran r;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.code = WEXITSTATUS(status);
    r.out = read_file(out);
    r.err = read_file(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

}  // namespace vzt
