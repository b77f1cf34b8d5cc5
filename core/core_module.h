#pragma once

namespace Core {

// Counted start and stop: only the first CoreInit does the work, only the last CoreShutdown
// undoes it. Geom and Image hold a count of their own on Core.
void CoreInit();
void CoreShutdown();
bool CoreIsInitialized();

}  // namespace Core
