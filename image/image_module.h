#pragma once

namespace Image {

// Counted like Core's; the first call also takes a count on Core.
void ImageInit();
void ImageShutdown();

}  // namespace Image
