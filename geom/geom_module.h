#pragma once

namespace Geom {

// Counted like Core's; the first call also takes a count on Core.
void GeomInit();
void GeomShutdown();

}  // namespace Geom
