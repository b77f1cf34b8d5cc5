#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

struct ProcessResult {
    int exitCode = -1;    // -1 when the process did not exit by itself
    int termSignal = 0;   // the signal that ended it, 0 when it exited
    std::string out;
    std::string err;
};

// Runs in the child between fork and exec: only calls that are safe there (setrlimit, signal,
// sched_setaffinity, setpriority).
using ChildSetup = std::function<void()>;

// A process started by StartProcess, to be collected by FinishProcess.
struct StartedProcess {
    pid_t pid = -1;
    std::string scratch;  // where its standard streams go
};

// Runs a program with the given arguments in `directory`, feeding `input` to its standard
// input (empty: end of input at once), and captures standard output and error separately.
ProcessResult RunProcess(const std::vector<std::string>& args, const std::string& directory,
                         const std::string& input = "", const ChildSetup& setup = nullptr);

// The two halves of RunProcess, for tests that act on the process while it runs.
StartedProcess StartProcess(const std::vector<std::string>& args, const std::string& directory,
                            const std::string& input = "", const ChildSetup& setup = nullptr);
ProcessResult FinishProcess(StartedProcess& process);

// A fresh empty directory under the system's temporary folder.
std::string MakeTempDirectory();
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace TestSupport
