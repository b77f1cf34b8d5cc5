#include "app/options.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "app/console.h"
#include "app/output_files.h"

namespace App {
namespace {

// Allowed values of the options that take a number. Pages below 8 texels cannot hold the
// smallest chart with its border; beyond 16384 a page alone is 1 GiB. More than 65536 rays per
// texel buy nothing measurable and only time. Texel sizes outside 1e-6 .. 1e6 world units (the
// units after -i) give grids whose coordinates lose all precision in single floats.
struct NumberRule {
    char letter;
    bool integer;
    double lowest, highest;
    bool nonZero;
    const char* allowed;  // what the message says is allowed
};

constexpr double unbounded = 3.4028234663852886e38;  // the float range

constexpr NumberRule numberRules[] = {
    {'i', false, -unbounded, unbounded, true, "-i takes a number other than 0"},
    {'a', true, 8, 16384, false, "-a takes a whole number from 8 to 16384"},
    {'t', false, 1e-6, 1e6, false, "-t takes a number from 0.000001 to 1000000"},
    {'p', false, -unbounded, unbounded, false, "-p takes a number"},
    {'d', false, -unbounded, unbounded, false, "-d takes a number"},
    {'s', true, 0, 65536, false, "-s takes a whole number from 0 to 65536"},
    {'k', true, 0, 65535, false, "-k takes a whole number from 0 to 65535"},
    {'g', false, 0, 180, false, "-g takes a number of degrees from 0 to 180"},
};

const NumberRule* RuleOf(char letter)
{
    for (const NumberRule& rule : numberRules) {
        if (rule.letter == letter)
            return &rule;
    }
    return nullptr;
}

// The whole text as one number: no blanks, no trailing text, nothing empty; a leading plus is
// allowed. Integers must be written as integers. Values beyond double range fail.
bool ReadWholeNumber(const std::string& text, bool integer, double& value)
{
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+' && last - first > 1 && first[1] != '-')
        first++;
    std::from_chars_result result;
    if (integer) {
        long long whole = 0;
        result = std::from_chars(first, last, whole, 10);
        value = double(whole);
    } else {
        result = std::from_chars(first, last, value, std::chars_format::general);
    }
    return first != last && result.ec == std::errc() && result.ptr == last;
}

// Reads and checks one number; the value stored is the one the run uses (32-bit floats).
bool ReadRuledNumber(const NumberRule& rule, const std::string& text, double& value)
{
    if (!ReadWholeNumber(text, rule.integer, value))
        return false;
    if (!rule.integer) {
        float narrowed = float(value);
        if (!std::isfinite(narrowed))
            return false;
        value = double(narrowed);
    }
    // The bounds as the run's floats hold them, so that "-t 1e-6" itself is allowed.
    const double lowest = rule.integer ? rule.lowest : double(float(rule.lowest));
    const double highest = rule.integer ? rule.highest : double(float(rule.highest));
    return value >= lowest && value <= highest && !(rule.nonZero && value == 0);
}

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

bool TakesValue(char letter) { return letter == 'x' || letter == 'L' || RuleOf(letter) != nullptr; }

void StoreNumber(char letter, double value, Options& options)
{
    Engine::LightmapperSettings& s = options.settings;
    switch (letter) {
    case 'i': options.scale = float(value); break;
    case 'g': options.smoothingAngle = float(value); break;
    case 't': s.texelSize = float(value); break;
    case 'p': s.aoPower = float(value); break;
    case 'd': s.aoDistance = float(value); break;
    case 'a': s.atlasSize = int32_t(value); break;
    case 's': s.sampleCount = int32_t(value); break;
    case 'k': s.blurKernel = int32_t(value); break;
    }
}

// Applies one value-taking letter; false, with the message written, for a value that is not
// allowed.
bool ApplyValue(char letter, const std::string& value, Options& options, std::FILE* errors)
{
    if (letter == 'x') {
        options.flagsPath = value;
        return true;
    }
    if (letter == 'L') {
        options.lightsPath = value;
        return true;
    }
    const NumberRule& rule = *RuleOf(letter);
    double number = 0;
    if (!ReadRuledNumber(rule, value, number)) {
        PrintTo(errors, "invalid argument: %s (%s)\n", value.c_str(), rule.allowed);
        return false;
    }
    StoreNumber(letter, number, options);
    return true;
}

// Outputs that would destroy what the run reads or be overwritten by what it writes.
bool CheckOutputName(const Options& options, std::FILE* errors)
{
    const std::string& output = options.outputPath;
    const bool namesAnInput = SameFile(output, options.inputPath) ||
                              (!options.flagsPath.empty() && SameFile(output, options.flagsPath)) ||
                              (!options.lightsPath.empty() && SameFile(output, options.lightsPath));
    if (namesAnInput) {
        PrintTo(errors, "invalid output filename: %s (it is an input file)\n", output.c_str());
        return false;
    }
    if (IsPageFileName(output)) {
        PrintTo(errors, "invalid output filename: %s (a lightmap page gets this name)\n", output.c_str());
        return false;
    }
    return true;
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
        if (word.empty()) {
            PrintTo(errors, "invalid argument: \"\" (a file name cannot be empty)\n");
            return ParseOutcome::UsageError;
        }
        if (word[0] != '-') {
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
                if (!ApplyValue(letter, *current, options, errors))
                    return ParseOutcome::UsageError;
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
    if (!CheckOutputName(options, errors))
        return ParseOutcome::UsageError;
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
