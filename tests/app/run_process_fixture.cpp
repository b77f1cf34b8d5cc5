#include "run_process_fixture.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace TestSupport {

std::string MakeTempDirectory()
{
    char pattern[] = "/tmp/ketra-test-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
}

StartedProcess StartProcess(const std::vector<std::string>& args, const std::string& directory,
                            const std::string& input, const ChildSetup& setup)
{
    StartedProcess process;
    process.scratch = MakeTempDirectory();
    std::string inPath = process.scratch + "/stdin", outPath = process.scratch + "/stdout",
                errPath = process.scratch + "/stderr";
    WriteFile(inPath, input);

    process.pid = fork();
    if (process.pid == 0) {
        int in = open(inPath.c_str(), O_RDONLY);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(directory.c_str()) != 0)
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (setup)
            setup();
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return process;
}

ProcessResult FinishProcess(StartedProcess& process)
{
    ProcessResult result;
    int status = 0;
    if (process.pid > 0 && waitpid(process.pid, &status, 0) == process.pid) {
        if (WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.termSignal = WTERMSIG(status);
    }
    const std::string& scratch = process.scratch;
    result.out = ReadFile(scratch + "/stdout");
    result.err = ReadFile(scratch + "/stderr");
    for (const char* name : {"/stdin", "/stdout", "/stderr"})
        std::remove((scratch + name).c_str());
    rmdir(scratch.c_str());
    process.pid = -1;
    return result;
}

ProcessResult RunProcess(const std::vector<std::string>& args, const std::string& directory, const std::string& input,
                         const ChildSetup& setup)
{
    StartedProcess process = StartProcess(args, directory, input, setup);
    return FinishProcess(process);
}

}  // namespace TestSupport
