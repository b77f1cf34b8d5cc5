#include "app/stop_request.h"

#include <atomic>
#include <thread>

#include "core/platform/platform.h"
#include "engine/lightmapper/lightmapper.h"

namespace App {
namespace {

// What a request cancels, and how many requests are cancelling it at this moment: the signal
// handler may run on any thread, at any time, so the lightmapper is only let go once none is.
std::atomic<Engine::Lightmapper*> cancelTarget{nullptr};
std::atomic<int32_t> cancelsRunning{0};
static_assert(std::atomic<Engine::Lightmapper*>::is_always_lock_free);

// Runs in the signal's context: lock-free atomics only (Lightmapper::Cancel is two stores).
void CancelTarget()
{
    cancelsRunning.fetch_add(1);
    if (Engine::Lightmapper* lightmapper = cancelTarget.load())
        lightmapper->Cancel();
    cancelsRunning.fetch_sub(1);
}

}  // namespace

CancelOnStopRequest::CancelOnStopRequest(Engine::Lightmapper& lightmapper)
{
    cancelTarget.store(&lightmapper);
    Core::Platform::WatchStopRequests(CancelTarget);
    // A request that came before the lightmapper existed still stops its build.
    if (StopRequested())
        lightmapper.Cancel();
}

CancelOnStopRequest::~CancelOnStopRequest()
{
    cancelTarget.store(nullptr);
    while (cancelsRunning.load() != 0)
        std::this_thread::yield();
}

bool StopRequested() { return Core::Platform::StopRequestExitCode() != 0; }

int StopRequestExitCode() { return Core::Platform::StopRequestExitCode(); }

}  // namespace App
