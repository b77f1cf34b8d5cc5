#include "app/console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ProgressCall {
    float percent;
    std::string title;
};

std::string RunProgress(const std::vector<ProgressCall>& calls)
{
    App::ResetConsoleProgress();
    testing::internal::CaptureStdout();
    for (const ProgressCall& call : calls)
        App::ConsoleProgress(call.percent, 0.0f, call.title);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(ConsoleProgress, PrintsExactText)
{
    const struct {
        const char* name;
        std::vector<ProgressCall> calls;
        const char* expected;
    } cases[] = {
        {"title then growing percentages", {{0, "Building KdTree"}, {10.5f, ""}, {99.9f, ""}}, "\nBuilding KdTree\n0% 10% 99% "},
        {"same whole percentage once", {{5.2f, ""}, {5.9f, ""}}, "5% "},
        {"negative half truncates to zero", {{-0.5f, ""}}, "0% "},
        {"zero not repeated", {{0, ""}, {-0.5f, ""}}, "0% "},
        {"new title resets memory", {{0, "A"}, {0, "B"}}, "\nA\n0% \nB\n0% "},
        {"minus one with no title is silent", {{-1, ""}}, ""},
        {"minus one keeps the last percentage", {{7, ""}, {-1, ""}, {7, ""}}, "7% "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunProgress(c.calls), c.expected) << c.name;
}

TEST(Print, FormatsOntoStreams)
{
    testing::internal::CaptureStdout();
    App::Print("%d/%d\n", 1, 3);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "1/3\n");

    testing::internal::CaptureStderr();
    EXPECT_TRUE(App::PrintTo(stderr, "failed to open %s!\n", "x.obj"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "failed to open x.obj!\n");
}

}  // namespace
