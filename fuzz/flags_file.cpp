// The object flags file grammar on arbitrary text. A parse either succeeds or stops with the
// syntax exit code; every entry handed on has a name the grammar allows, and the table finds
// each entry under its name with the values last given to it.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/driver.h"
#include "app/flags_file.h"
#include "fuzz/fuzz_check.h"

namespace {

bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool IsName(const std::string& name)
{
    if (name.empty() || !IsNameStart(name[0]) || name == "if")
        return false;
    for (char c : name) {
        if (!IsNameStart(c) && !(c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    App::ObjectFlagsTable table;
    size_t handed = 0;
    const int code = App::ParseObjectFlags(
        text, "fuzz.flags", table,
        [&](const App::ObjectFlags& entry) {
            FUZZ_CHECK(IsName(entry.name));
            const App::ObjectFlags* stored = table.Find(entry.name);
            FUZZ_CHECK(stored != nullptr);
            FUZZ_CHECK(stored->flags == entry.flags && stored->modelId == entry.modelId &&
                       stored->alphaMap == entry.alphaMap);
            handed++;
            return int(App::ExitSuccess);
        },
        Fuzz::MessageSink());
    FUZZ_CHECK(code == App::ExitSuccess || code == App::ExitFlagsSyntax);
    FUZZ_CHECK(table.Entries().size() <= handed);
    for (const App::ObjectFlags& entry : table.Entries())
        FUZZ_CHECK(table.Find(entry.name) == &entry);
    return 0;
}
