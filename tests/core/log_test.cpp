#include "core/log.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

namespace {

TEST(Log, ListenersGetPrefixedLinesInOrderUntilRemoved)
{
    std::vector<std::string> first, second;
    int a = Core::AddLogListener([&](const std::string& line) { first.push_back(line); });
    int b = Core::AddLogListener([&](const std::string& line) { second.push_back("b:" + line); });
    Core::LogFormat("tree stats: %d nodes, %d leafs, %d elems", 1, 1, 0);
    Core::RemoveLogListener(a);
    Core::Log("LM: done");
    Core::RemoveLogListener(b);
    Core::Log("nobody hears this");

    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 2u);
    // "hh:mm:ss.mmm  " then the text.
    const std::string& line = first[0];
    ASSERT_EQ(line.size(), 14 + std::string("tree stats: 1 nodes, 1 leafs, 0 elems").size()) << line;
    for (size_t i : {0, 1, 3, 4, 6, 7, 9, 10, 11})
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[i]))) << line;
    EXPECT_EQ(line.substr(2, 1) + line.substr(5, 1) + line.substr(8, 1), "::.") << line;
    EXPECT_EQ(line.substr(12), "  tree stats: 1 nodes, 1 leafs, 0 elems");
    EXPECT_EQ(second[1].substr(second[1].size() - 8), "LM: done");
}

TEST(Log, LongLinesAreCut)
{
    std::string got;
    int id = Core::AddLogListener([&](const std::string& line) { got = line; });
    Core::Log(std::string(20000, 'x'));
    Core::LogFormat("%s", std::string(20000, 'y').c_str());
    Core::RemoveLogListener(id);
    EXPECT_EQ(got.size(), size_t(Core::logLineLimit));
    EXPECT_EQ(got.back(), 'y');
}

TEST(Log, ListenerMayLogWithoutDeadlock)
{
    int depth = 0;
    int id = Core::AddLogListener([&](const std::string&) {
        if (depth++ == 0)
            Core::Log("nested");
    });
    Core::Log("outer");
    Core::RemoveLogListener(id);
    EXPECT_EQ(depth, 2);
}

}  // namespace
