#pragma once

namespace Engine {
class Lightmapper;
}

namespace App {

// While alive, an interrupt (Ctrl-C) or termination request cancels the lightmapper's build
// (Lightmapper::Cancel) instead of ending the process, so that the run can remove what it has
// half written and say "aborted". The request is remembered for the rest of the process.
class CancelOnStopRequest {
public:
    explicit CancelOnStopRequest(Engine::Lightmapper& lightmapper);
    // Returns only when no request is cancelling the lightmapper any more, so it may be destroyed.
    ~CancelOnStopRequest();
    CancelOnStopRequest(const CancelOnStopRequest&) = delete;
    CancelOnStopRequest& operator=(const CancelOnStopRequest&) = delete;
};

// Whether a request arrived, and the exit code of a run it stopped: 130 for an interrupt, 143
// for a termination, as a shell reports a process those signals end.
bool StopRequested();
int StopRequestExitCode();

}  // namespace App
