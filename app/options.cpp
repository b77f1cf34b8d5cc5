#include "app/options.h"

#include <cmath>
#include <cstdlib>

#include "app/console.h"

namespace App {
namespace {

// Sides of an atlas page outside this range either cannot hold a chart with its border or
// would not fit in memory (16384 x 16384 texels is already 1 GiB per page).
constexpr long minAtlasSize = 2;
constexpr long maxAtlasSize = 16384;
// Beyond this the blur's weight table alone would exhaust memory; no chart is that large.
constexpr long maxBlurKernel = 65535;

const char* const usageLines[] = {
    "usage: Ketra [args] <infile.obj> <outfile>",
    "args:",
    "       -h, -? help",
    "       -f force to overwrite existing files",
    "       -i n scale input file by n (default = 1.0)",
    "       -a n Atlas texture size (default = 2048)",
    "       -t n Lightmap texel size (default = 0.25)",
    "       -p n AO power/gamma (final ao^n, default=1.0)",
    "       -d n AO sampling distance (default = 3.0)",
    "       -s n number of AO samples (default = 256)",
    "       -u enable supersampling (deprecated, always off)",
    "       -b disable final blur (default = on)",
    "       -k n override blur kernel size (0=auto, default = 0)",
    "       -g n vertex normal smoothing angle in deg (default = 40.0)",
    "       -2 force POT atlas packing (default: off)",
    "       -n force to rebuild vtx normals (default=auto)",
    "       -N allow NPOT lightmaps (default: off)",
    "       -x filename load object flags",
    "       -S fix lightmap seams (default = off, faster)",
    "       -l keep large groups but reduce quality (old behaviour, default: off)",
    "       -O don't optimize atlas (for preview build, default: off)",
    "       -L filename load lights",
};

bool TakesValue(char letter)
{
    switch (letter) {
    case 'x': case 'L': case 'i': case 'a': case 't': case 'p': case 'd': case 's': case 'k': case 'g':
        return true;
    default:
        return false;
    }
}

// The C library's conversions, unvalidated: text that is not a number yields 0 and trailing
// text is ignored.
float ReadFloat(const std::string& text) { return float(std::strtod(text.c_str(), nullptr)); }
long ReadLong(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

// Applies one value-taking letter; false when the value would make the run hang or crash.
bool ApplyValue(char letter, const std::string& value, Options& options)
{
    Engine::LightmapperSettings& s = options.settings;
    switch (letter) {
    case 'x':
        options.flagsPath = value;
        return true;
    case 'L':
        options.lightsPath = value;
        return true;
    case 'i':
        options.scale = ReadFloat(value);
        return std::isfinite(options.scale);
    case 'g':
        options.smoothingAngle = ReadFloat(value);
        return std::isfinite(options.smoothingAngle);
    case 't':
        s.texelSize = ReadFloat(value);
        return std::isfinite(s.texelSize) && s.texelSize > 0;
    case 'p':
        s.aoPower = ReadFloat(value);
        return std::isfinite(s.aoPower);
    case 'd':
        s.aoDistance = ReadFloat(value);
        return std::isfinite(s.aoDistance);
    case 'a': {
        long size = ReadLong(value);
        s.atlasSize = int32_t(size);
        return size >= minAtlasSize && size <= maxAtlasSize;
    }
    case 's': {
        // Negative counts mean no samples; counts beyond 32 bits saturate instead of wrapping.
        long count = ReadLong(value);
        s.sampleCount = count > INT32_MAX ? INT32_MAX : count < INT32_MIN ? INT32_MIN : int32_t(count);
        return true;
    }
    case 'k': {
        long kernel = ReadLong(value);
        s.blurKernel = int32_t(kernel);
        return kernel >= 0 && kernel <= maxBlurKernel;
    }
    }
    return false;
}

// Applies one letter without a value; false for an unknown letter. Sets `help` for -h and -?.
bool ApplyFlag(char letter, Options& options, bool& help)
{
    uint32_t& flags = options.settings.flags;
    switch (letter) {
    case 'f': options.forceOverwrite = true; return true;
    case 'n': options.forceNormals = true; return true;
    case 'S': flags |= Engine::FixLightmapSeams; return true;
    case 'l': flags |= Engine::KeepLargeGroups; return true;
    case 'O': flags |= Engine::NoAtlasOptimize; return true;
    case 'b': flags &= ~uint32_t(Engine::FinalBlur); return true;
    case '2': flags |= Engine::ForcePotAtlas; return true;
    case 'N': flags &= ~uint32_t(Engine::ForcePotAtlas | Engine::PotLightmaps); return true;
    case 'u': case '-': return true;
    case 'h': case '?': help = true; return true;
    }
    return false;
}

}  // namespace

Engine::LightmapperSettings ToolSettings()
{
    Engine::LightmapperSettings settings;
    settings.basisCount = 1;
    settings.sampleCount = 256;
    settings.aoDistance = 3.0f;
    settings.superSampling = false;
    return settings;
}

ParseOutcome ParseOptions(const std::vector<std::string>& args, Options& options, std::FILE* errors)
{
    options = Options();
    options.settings = ToolSettings();
    size_t next = 1;
    while (next < args.size()) {
        const std::string& word = args[next++];
        if (word.empty() || word[0] != '-') {
            if (options.inputPath.empty()) {
                options.inputPath = word;
            } else if (options.outputPath.empty()) {
                options.outputPath = word;
            } else {
                PrintTo(errors, "invalid extra filename: %s\n", word.c_str());
                return ParseOutcome::UsageError;
            }
            continue;
        }
        // Value letters take the following unused arguments in order; a message names the last
        // argument the word used.
        const std::string* current = &word;
        for (size_t i = 1; i < word.size(); i++) {
            char letter = word[i];
            if (TakesValue(letter)) {
                if (next >= args.size()) {
                    PrintTo(errors, "invalid argument: %s\n", current->c_str());
                    return ParseOutcome::UsageError;
                }
                current = &args[next++];
                if (!ApplyValue(letter, *current, options)) {
                    PrintTo(errors, "invalid argument: %s\n", current->c_str());
                    return ParseOutcome::UsageError;
                }
                continue;
            }
            bool help = false;
            if (!ApplyFlag(letter, options, help)) {
                PrintTo(errors, "invalid argument: %s\n", current->c_str());
                return ParseOutcome::UsageError;
            }
            if (help)
                return ParseOutcome::Help;
        }
    }
    if (options.inputPath.empty()) {
        PrintTo(errors, "filename not specified\n");
        return ParseOutcome::UsageError;
    }
    if (options.outputPath.empty()) {
        PrintTo(errors, "output filename not specified\n");
        return ParseOutcome::UsageError;
    }
    return ParseOutcome::Run;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine)
{
    std::vector<std::string> args;
    std::string word;
    bool quoted = false;
    for (char c : commandLine) {
        if (c == '"') {
            // Text right before an opening quote stays part of the argument, so ab"cd" gives abcd.
            if (quoted && !word.empty()) {
                args.push_back(word);
                word.clear();
            }
            quoted = !quoted;
        } else if (!quoted && static_cast<unsigned char>(c) < 33) {
            if (!word.empty())
                args.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        args.push_back(word);
    return args;
}

void PrintBanner()
{
    Print("Ketra v1.9.3, ambient-occlusion lightmap baker\n");
}

void PrintUsage()
{
    for (const char* line : usageLines)
        Print("%s\n", line);
}

}  // namespace App
