#include "core/cpu_info.h"

#include <atomic>

#include "core/platform/platform.h"

namespace Core {
namespace {

// 0 until detected.
std::atomic<int32_t> logicalCount{0};
std::atomic<int32_t> physicalCount{0};

}  // namespace

void DetectCoreCounts()
{
    logicalCount.store(Platform::LogicalProcessorCount());
    physicalCount.store(Platform::PhysicalCoreCount());
}

int32_t GetLogicalCoreCount()
{
    int32_t count = logicalCount.load();
    if (count == 0) {
        DetectCoreCounts();
        count = logicalCount.load();
    }
    return count;
}

int32_t GetPhysicalCoreCount()
{
    int32_t count = physicalCount.load();
    if (count == 0) {
        DetectCoreCounts();
        count = physicalCount.load();
    }
    return count;
}

bool CpuHasAvx2()
{
    static const bool hasAvx2 = Platform::ProcessorHasAvx2();
    return hasAvx2;
}

}  // namespace Core
