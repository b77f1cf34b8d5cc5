#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "engine/lightmapper/lightmapper_settings.h"

namespace App {

// Everything the command line decides; set before the run starts and only read afterwards.
struct Options {
    std::string inputPath;
    std::string outputPath;
    std::string flagsPath;
    std::string lightsPath;  // -L: lights and object colours for the lighting mode
    bool forceOverwrite = false;
    bool forceNormals = false;
    float scale = 1.0f;
    float smoothingAngle = 40.0f;  // degrees
    bool verbose = true;           // no option; gates the banner and "aborted"
    Engine::LightmapperSettings settings;
};

enum class ParseOutcome {
    Run,         // start the run
    Help,        // -h or -?: usage, exit code 0
    UsageError,  // a message was written: usage, exit code 1
};

// The values the tool runs with: the record's construction defaults, then the parser's reset.
Engine::LightmapperSettings ToolSettings();

// Parses the arguments (args[0] is the program and is skipped) into options, which the
// parser first resets. Error messages go to `errors`.
ParseOutcome ParseOptions(const std::vector<std::string>& args, Options& options, std::FILE* errors);

// Splits a whole command line into arguments the way the tool's Windows entry point does:
// control characters and spaces end words outside quotes, a double quote toggles quoting, and
// an empty quoted argument is dropped.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

void PrintBanner();
void PrintUsage();

}  // namespace App
