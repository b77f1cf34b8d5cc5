#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace App {

// The files a run writes. Each one is written under a temporary name in the folder of its final
// name and renamed into place by Commit, which the run calls only once every file is complete:
// a run that fails or is stopped leaves the files of earlier runs as they were and no part of
// its own. Whatever is not committed is removed when the set is destroyed.
//
// An output that already exists as something other than a plain file (a device such as
// /dev/null, a pipe) is written directly: it cannot be replaced by renaming.
class OutputFiles {
public:
    OutputFiles() = default;
    ~OutputFiles();
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;

    // Creates the file that will become `finalPath`, open for writing in binary mode; its index,
    // or -1 with the system's reason in `reason`.
    int32_t Add(const std::string& finalPath, std::string& reason);
    std::FILE* File(int32_t index) const { return files[size_t(index)].stream; }
    const std::string& FinalPath(int32_t index) const { return files[size_t(index)].finalPath; }
    // Where the file's bytes are until Commit.
    const std::string& WrittenPath(int32_t index) const { return files[size_t(index)].writtenPath; }
    // Flushes and closes the file; false with the system's reason when not every byte reached
    // the disk.
    bool Close(int32_t index, std::string& reason);
    // Renames every file onto its final name, in the order they were added, and closes any still
    // open. False, naming the final path and the reason, when one cannot be renamed: the files
    // before it are in place, it and the ones after it are removed.
    bool Commit(std::string& failedPath, std::string& reason);
    // Removes every file not yet committed.
    void Discard();

private:
    struct Entry {
        std::string finalPath;
        std::string writtenPath;
        std::FILE* stream = nullptr;
        bool direct = false;     // written under its final name
        bool committed = false;
    };
    std::vector<Entry> files;
};

// Whether new files can be created in the folder `path` lies in; false with the system's reason.
// Tries it: permissions, read-only file systems and missing folders all show.
bool CanCreateFilesBeside(const std::string& path, std::string& reason);

// True when `path`, once written, would be the file at `other`, which exists.
bool SameFile(const std::string& path, const std::string& other);

// True when `path` lies in the current folder and has the name of a lightmap page.
bool IsPageFileName(const std::string& path);

}  // namespace App
