#pragma once

#include <string>
#include <vector>

namespace TestSupport {

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program with the given arguments in `directory`, feeding `input` to its standard
// input (empty: end of input at once), and captures standard output and error separately.
ProcessResult RunProcess(const std::vector<std::string>& args, const std::string& directory,
                         const std::string& input = "");

// A fresh empty directory under the system's temporary folder.
std::string MakeTempDirectory();
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace TestSupport
