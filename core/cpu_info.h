#pragma once

#include <cstdint>

namespace Core {

// Processor counts, found when the Core starts (or at the first call before that); at least 1.
// The logical count is what this process may use (its CPU affinity and its control group's CPU
// quota narrow it), and it is the default number of threads of every pool.
int32_t GetLogicalCoreCount();
int32_t GetPhysicalCoreCount();
// Whether 256-bit AVX2 code may run here; asked once.
bool CpuHasAvx2();
// Asks the system again; the Core calls it at start-up.
void DetectCoreCounts();

}  // namespace Core
