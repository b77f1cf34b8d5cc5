#pragma once

#include <cstdint>

namespace Core {

// Processor counts, found when the Core starts (or at the first call before that); at least 1.
// The default number of threads of every pool is the logical count.
int32_t GetLogicalCoreCount();
int32_t GetPhysicalCoreCount();
// Whether 256-bit AVX2 code may run here; asked once.
bool CpuHasAvx2();
// Asks the system again; the Core calls it at start-up.
void DetectCoreCounts();

}  // namespace Core
