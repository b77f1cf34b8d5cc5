#include <cstdio>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/driver.h"
#include "app/options.h"
#include "core/core_module.h"
#include "core/heap.h"
#include "geom/geom_module.h"
#include "image/image_module.h"

namespace {

int RunTool(const std::vector<std::string>& args)
{
    App::Options options;
    App::ParseOutcome outcome = App::ParseOptions(args, options, stderr);
    if (options.verbose)
        App::PrintBanner();
    if (outcome == App::ParseOutcome::Run)
        return App::RunDriver(options);
    App::PrintUsage();
    return outcome == App::ParseOutcome::Help ? App::ExitSuccess : App::ExitUsage;
}

void PrintPeakMemory()
{
    Core::HeapStats stats = Core::GetHeapStats();
    App::Print("Peak memory usage: %0.0lf MB\n", double(stats.peakAllocSize) * 9.5367431640625e-07);
}

}  // namespace

// The system hands us the arguments already split, which stands in for splitting the whole
// command line (App::SplitCommandLine does that where a platform gives only one string).
int main(int argc, char** argv)
{
    Core::CoreInit();
    Geom::GeomInit();
    Image::ImageInit();

    int exitCode = RunTool(std::vector<std::string>(argv, argv + argc));
    PrintPeakMemory();

    Image::ImageShutdown();
    Geom::GeomShutdown();
    Core::CoreShutdown();
    return exitCode;
}
