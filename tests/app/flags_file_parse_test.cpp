// The flags file grammar on text in memory: what reaches the entry handler, and how a handler's
// failure or a syntax error ends the parse.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/flags_file.h"

namespace {

struct Outcome {
    int code = -1;
    std::vector<std::string> handed;  // names in the order the handler saw them
    std::string errors;
};

// Parses `text`; the handler fails with ExitAlphaMap on the entry named `failOn`.
Outcome Parse(const std::string& text, App::ObjectFlagsTable& table, const std::string& failOn = "")
{
    Outcome outcome;
    std::FILE* errors = std::tmpfile();
    outcome.code = App::ParseObjectFlags(
        text, "mem.flags", table,
        [&](const App::ObjectFlags& entry) {
            outcome.handed.push_back(entry.name);
            return entry.name == failOn ? int(App::ExitAlphaMap) : int(App::ExitSuccess);
        },
        errors);
    std::rewind(errors);
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, errors))
        outcome.errors += buffer;
    std::fclose(errors);
    return outcome;
}

TEST(ParseObjectFlags, EndsAtTheFirstFailureWhetherSyntaxOrHandler)
{
    struct Case {
        const char* text;
        const char* failOn;
        int code;
        std::vector<std::string> handed;
        const char* errors;
    };
    const Case cases[] = {
        {"a\nb 2 & model 3\n", "", App::ExitSuccess, {"a", "b"}, ""},
        // The handler's code ends the parse before the syntax error further on is read.
        {"a\nb\nc\n\"s\"\n", "b", App::ExitAlphaMap, {"a", "b"}, ""},
        {"a\nb\n\"s\"\nc\n", "c", App::ExitFlagsSyntax, {"a", "b"}, "unexpected token at line 3 col 1 (mem.flags)\n"},
        {"a & size 2\n", "", App::ExitFlagsSyntax, {}, "invalid key name at line 1 col 5 (mem.flags)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        App::ObjectFlagsTable table;
        Outcome outcome = Parse(c.text, table, c.failOn);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.handed, c.handed);
        EXPECT_EQ(outcome.errors, c.errors);
        // The table holds exactly what was handed on.
        ASSERT_EQ(table.Entries().size(), c.handed.size());
        for (size_t i = 0; i < c.handed.size(); i++)
            EXPECT_EQ(table.Entries()[i].name, c.handed[i]);
    }
}

TEST(ParseObjectFlags, HandlerSeesEachEntryWithTheValuesItWasGivenThere)
{
    App::ObjectFlagsTable table;
    std::vector<App::ObjectFlags> seen;
    int code = App::ParseObjectFlags(
        "wall 0x40 & model 3 & alphamap \"w.png\"\nwall\n", "mem.flags", table,
        [&](const App::ObjectFlags& entry) {
            seen.push_back(entry);
            return int(App::ExitSuccess);
        },
        stderr);
    ASSERT_EQ(code, App::ExitSuccess);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].flags, 0x40u);
    EXPECT_EQ(seen[0].modelId, 3);
    EXPECT_EQ(seen[0].alphaMap, "w.png");
    // Listed again: the defaults replace every value, in the same place of the table.
    EXPECT_EQ(seen[1].flags, 1u);
    EXPECT_EQ(seen[1].modelId, -1);
    EXPECT_EQ(seen[1].alphaMap, "");
    ASSERT_EQ(table.Entries().size(), 1u);
    EXPECT_EQ(table.Entries()[0].modelId, -1);
}

}  // namespace
