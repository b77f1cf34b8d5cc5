#include "app/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using App::ParseOutcome;

struct Parsed {
    ParseOutcome outcome;
    App::Options options;
    std::string errors;
};

Parsed Parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "Ketra");
    Parsed parsed;
    std::FILE* errors = std::tmpfile();
    parsed.outcome = App::ParseOptions(args, parsed.options, errors);
    std::rewind(errors);
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, errors))
        parsed.errors += buffer;
    std::fclose(errors);
    return parsed;
}

TEST(ParseOptions, ResetsSettingsToTheToolsValues)
{
    Parsed p = Parse({"in.obj", "out.txt"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run);
    const Engine::LightmapperSettings& s = p.options.settings;
    EXPECT_EQ(s.flags, 0x0Au);
    EXPECT_EQ(s.texelSize, 0.25f);
    EXPECT_EQ(s.basisCount, 1);
    EXPECT_EQ(s.sampleCount, 256);
    EXPECT_EQ(s.atlasSize, 2048);
    EXPECT_EQ(s.aoDistance, 3.0f);
    EXPECT_EQ(s.aoPower, 1.0f);
    EXPECT_EQ(s.blurKernel, 0);
    EXPECT_FALSE(s.superSampling);
    EXPECT_EQ(p.options.scale, 1.0f);
    EXPECT_EQ(p.options.smoothingAngle, 40.0f);
    EXPECT_EQ(p.options.inputPath, "in.obj");
    EXPECT_EQ(p.options.outputPath, "out.txt");
}

TEST(ParseOptions, FlagLetters)
{
    const struct {
        std::vector<std::string> words;
        uint32_t flags;
        bool overwrite, normals;
    } cases[] = {
        {{"-fn"}, 0x0A, true, true},
        {{"--f"}, 0x0A, true, false},        // a dash letter does nothing
        {{"-"}, 0x0A, false, false},         // a lone dash does nothing
        {{"-b"}, 0x08, false, false},
        {{"-2", "-N"}, 0x02, false, false},  // -N clears both power-of-two bits
        {{"-N", "-2"}, 0x06, false, false},
        {{"-SlO"}, 0x7A, false, false},
        {{"-u"}, 0x0A, false, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.words;
        args.push_back("in.obj");
        args.push_back("out.txt");
        Parsed p = Parse(args);
        std::string row = c.words[0];
        ASSERT_EQ(p.outcome, ParseOutcome::Run) << row;
        EXPECT_EQ(p.options.settings.flags, c.flags) << row;
        EXPECT_EQ(p.options.forceOverwrite, c.overwrite) << row;
        EXPECT_EQ(p.options.forceNormals, c.normals) << row;
        EXPECT_FALSE(p.options.settings.superSampling) << row;
    }
}

TEST(ParseOptions, ValueLettersTakeFollowingArgumentsInOrder)
{
    Parsed p = Parse({"-at", "1024", "0.5", "in.obj", "-xL", "-flags.txt", "lights.txt", "out.txt", "-s", "0", "-kdpig",
                      "6", "2.5", "2", "0.01", "90"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run) << p.errors;
    const Engine::LightmapperSettings& s = p.options.settings;
    EXPECT_EQ(s.atlasSize, 1024);
    EXPECT_EQ(s.texelSize, 0.5f);
    EXPECT_EQ(p.options.flagsPath, "-flags.txt");  // a value is taken verbatim
    EXPECT_EQ(p.options.lightsPath, "lights.txt");
    EXPECT_EQ(s.sampleCount, 0);
    EXPECT_EQ(s.blurKernel, 6);
    EXPECT_EQ(s.aoDistance, 2.5f);
    EXPECT_EQ(s.aoPower, 2.0f);
    EXPECT_EQ(p.options.scale, 0.01f);
    EXPECT_EQ(p.options.smoothingAngle, 90.0f);
    EXPECT_EQ(p.options.inputPath, "in.obj");
    EXPECT_EQ(p.options.outputPath, "out.txt");
}

TEST(ParseOptions, NumbersAreReadLikeTheCLibrary)
{
    Parsed p = Parse({"-s", "12abc", "-i", "abc", "-d", "-1", "in.obj", "out.txt"});
    ASSERT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_EQ(p.options.settings.sampleCount, 12);
    EXPECT_EQ(p.options.scale, 0.0f);
    EXPECT_EQ(p.options.settings.aoDistance, -1.0f);

    Parsed negative = Parse({"-s", "-5", "in.obj", "out.txt"});
    EXPECT_EQ(negative.outcome, ParseOutcome::Run);  // negative counts mean no samples
    EXPECT_EQ(negative.options.settings.sampleCount, -5);
}

TEST(ParseOptions, Errors)
{
    const struct {
        std::vector<std::string> args;
        ParseOutcome outcome;
        const char* message;
    } cases[] = {
        {{}, ParseOutcome::UsageError, "filename not specified\n"},
        {{"in.obj"}, ParseOutcome::UsageError, "output filename not specified\n"},
        {{"a", "b", "c"}, ParseOutcome::UsageError, "invalid extra filename: c\n"},
        {{"in.obj", "out.txt", "-a"}, ParseOutcome::UsageError, "invalid argument: -a\n"},
        {{"-at", "1024"}, ParseOutcome::UsageError, "invalid argument: 1024\n"},  // names the last value taken
        {{"-z", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: -z\n"},
        {{"-fz", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: -fz\n"},
        {{"-h", "-z"}, ParseOutcome::Help, ""},
        {{"-f?"}, ParseOutcome::Help, ""},
        // Values that would hang or crash the run.
        {{"-a", "1", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: 1\n"},
        {{"-a", "16385", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: 16385\n"},
        {{"-a", "99999999999", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: 99999999999\n"},
        {{"-t", "0", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: 0\n"},
        {{"-t", "-0.5", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: -0.5\n"},
        {{"-t", "nan", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: nan\n"},
        {{"-d", "inf", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: inf\n"},
        {{"-p", "nan", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: nan\n"},
        {{"-i", "1e39", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: 1e39\n"},
        {{"-g", "-inf", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: -inf\n"},
        {{"-k", "-1", "in.obj", "out.txt"}, ParseOutcome::UsageError, "invalid argument: -1\n"},
    };
    for (const auto& c : cases) {
        Parsed p = Parse(c.args);
        std::string row = c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(p.outcome, c.outcome) << row;
        EXPECT_EQ(p.errors, c.message) << row;
    }
}

TEST(ParseOptions, EdgeValuesStillAccepted)
{
    for (const char* atlas : {"2", "16384"}) {
        Parsed p = Parse({"-a", atlas, "in.obj", "out.txt"});
        EXPECT_EQ(p.outcome, ParseOutcome::Run) << atlas;
    }
    Parsed k = Parse({"-k", "0", "-t", "1e-3", "in.obj", "out.txt"});
    EXPECT_EQ(k.outcome, ParseOutcome::Run);
}

TEST(SplitCommandLine, SplitsLikeTheWindowsEntryPoint)
{
    const struct {
        const char* line;
        std::vector<std::string> expected;
    } cases[] = {
        {"Ketra -f in.obj out.txt", {"Ketra", "-f", "in.obj", "out.txt"}},
        {"Ketra \"my scene.obj\"\tout.txt", {"Ketra", "my scene.obj", "out.txt"}},
        {"Ketra \"\" in.obj", {"Ketra", "in.obj"}},                  // empty quoted argument dropped
        {"  Ketra   a\r\nb  ", {"Ketra", "a", "b"}},                  // control characters separate
        {"Ketra \"a\"b", {"Ketra", "a", "b"}},                        // a closing quote ends the word
        {"Ketra ab\"cd\"", {"Ketra", "abcd"}},                        // text before a quote is kept
        {"Ketra \"unterminated name", {"Ketra", "unterminated name"}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(App::SplitCommandLine(c.line), c.expected) << c.line;
}

}  // namespace
