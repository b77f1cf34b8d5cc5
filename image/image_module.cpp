#include "image/image_module.h"

#include <mutex>

#include "core/core_module.h"
#include "core/log.h"

namespace Image {
namespace {

std::mutex moduleLock;
int initCount = 0;

}  // namespace

void ImageInit()
{
    Core::CoreInit();
    std::lock_guard<std::mutex> guard(moduleLock);
    if (initCount++ == 0)
        Core::Log("Image initialized");
}

void ImageShutdown()
{
    {
        std::lock_guard<std::mutex> guard(moduleLock);
        if (initCount == 0)
            return;
        if (--initCount == 0)
            Core::Log("shutting down Image");
    }
    Core::CoreShutdown();
}

}  // namespace Image
