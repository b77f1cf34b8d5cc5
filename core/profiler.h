#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/hash_map.h"

namespace Core {

// Counters of one scope name under one parent node.
struct ProfileNode {
    uint64_t totalTicks = 0;  // inclusive
    uint64_t exclusiveTicks = 0;
    uint64_t calls = 0;
    uint64_t lastEntryTick = 0;
    uint64_t childTicks = 0;  // spent in children since the last entry
    // Copied, not summed, when merged; memory is reported as "excl.mem" in kilobytes. Nothing
    // fills them yet: they belong to an allocator that counts per scope.
    uint64_t memory = 0;
    uint64_t memoryPeak = 0;
};

// A scope is identified by the address of its (static) name and its parent node; the same name
// under two parents makes two nodes. Both halves are 64-bit so the key has no padding bytes.
struct ProfileKey {
    uint64_t name;
    int64_t parent;
};

using ProfileNodeMap = HashMap<ProfileKey, ProfileNode>;

// Per-thread tree of named scopes. Only its own thread touches it, without locking; about once a
// second, and when the thread ends, it adds its counters to the global table under the profile
// lock and starts counting from zero.
class ThreadProfile {
public:
    ThreadProfile();
    ~ThreadProfile();
    ThreadProfile(const ThreadProfile&) = delete;
    ThreadProfile& operator=(const ThreadProfile&) = delete;

    void Enter(const char* name);
    void Leave();
    // Adds the counters to the global table entry of the calling thread and zeroes them.
    void Merge();

    const ProfileNodeMap& GetNodes() const { return nodes; }

private:
    std::vector<int32_t> stack;
    int32_t current = -1;
    ProfileNodeMap nodes;
    uint64_t firstTick = 0;
    bool hasFirstTick = false;
    uint64_t lastFlushTick = 0;
    std::vector<int32_t> mergeScratch;  // local node -> global node, kept to avoid reallocating
};

// Times the enclosing block under `name`, which must have static lifetime: its address is the
// key. Closes on the profile it opened on.
class ProfileScope {
public:
    explicit ProfileScope(const char* name);
    ~ProfileScope();
    ProfileScope(const ProfileScope&) = delete;
    ProfileScope& operator=(const ProfileScope&) = delete;

private:
    ThreadProfile* profile;
};

// The calling thread's profile: the one set for it, or else a private one of the thread's own.
ThreadProfile* GetThreadProfile();
// Thread start-up and the Core set this; null returns the thread to its private profile.
void SetThreadProfile(ThreadProfile* profile);
// Merges the calling thread's profile into the global table now.
void FlushThreadProfile();
// The report of every thread in the global table, which is emptied. Empty when nothing was
// recorded.
std::string TakeProfileReport();

}  // namespace Core
