#include "app/output_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

namespace App {
namespace {

namespace fs = std::filesystem;

const char* const pageNamePrefix = "Ketra_lightmap_";
const char* const pageNameSuffix = ".png";

std::string SystemReason(int error) { return std::strerror(error != 0 ? error : EIO); }

std::string FolderOf(const std::string& path)
{
    fs::path folder = fs::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

// Tags of the hidden files beside an output: its bytes until renamed, and the file that tries
// whether the folder takes new files.
const char* const temporaryTag = "ketra";
const char* const probeTag = "ketra-probe";

// A name no other run and no other file of this run uses: a hidden file beside the final one,
// with a random part, created exclusively so that nothing existing is ever opened.
std::FILE* CreateTemporaryBeside(const std::string& finalPath, const char* kind, std::string& createdPath, int& error)
{
    static std::mt19937_64 generator{std::random_device{}()};
    const fs::path final(finalPath);
    error = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        char tag[48];
        std::snprintf(tag, sizeof tag, ".%s-%016llx", kind, static_cast<unsigned long long>(generator()));
        std::string name(1, '.');
        name += final.filename().string();
        name += tag;
        fs::path candidate = final.parent_path() / name;
        errno = 0;
        std::FILE* file = std::fopen(candidate.c_str(), "wbx");
        if (file) {
            createdPath = candidate.string();
            return file;
        }
        error = errno;
        if (error != EEXIST)
            return nullptr;
    }
    return nullptr;
}

// An existing output that renaming cannot replace: anything but a plain file or a link to one.
bool IsSpecialFile(const std::string& path)
{
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    return !error && fs::exists(status) && !fs::is_regular_file(status);
}

// Writing through a link to an existing file replaces that file, as opening it would, not the
// link itself.
std::string ResolvedOutputPath(const std::string& path)
{
    std::error_code error;
    if (!fs::is_symlink(path, error))
        return path;
    fs::path target = fs::canonical(path, error);
    return error ? path : target.string();
}

}  // namespace

OutputFiles::~OutputFiles()
{
    Discard();
}

int32_t OutputFiles::Add(const std::string& finalPath, std::string& reason)
{
    Entry entry;
    entry.finalPath = finalPath;
    int error = 0;
    if (IsSpecialFile(finalPath)) {
        entry.direct = true;
        entry.writtenPath = finalPath;
        errno = 0;
        entry.stream = std::fopen(finalPath.c_str(), "wb");
        error = errno;
    } else {
        entry.stream = CreateTemporaryBeside(ResolvedOutputPath(finalPath), temporaryTag, entry.writtenPath, error);
    }
    if (!entry.stream) {
        reason = SystemReason(error);
        return -1;
    }
    files.push_back(entry);
    return int32_t(files.size()) - 1;
}

bool OutputFiles::Close(int32_t index, std::string& reason)
{
    Entry& entry = files[size_t(index)];
    if (!entry.stream)
        return true;
    // A full disk often shows only when the buffer is flushed or the file closed.
    errno = 0;
    bool ok = std::fflush(entry.stream) == 0 && std::ferror(entry.stream) == 0;
    int error = errno;
    if (std::fclose(entry.stream) != 0 && ok) {
        ok = false;
        error = errno;
    }
    entry.stream = nullptr;
    if (!ok)
        reason = SystemReason(error);
    return ok;
}

bool OutputFiles::Commit(std::string& failedPath, std::string& reason)
{
    for (size_t i = 0; i < files.size(); i++) {
        if (!Close(int32_t(i), reason)) {
            failedPath = files[i].finalPath;
            return false;
        }
    }
    for (Entry& entry : files) {
        if (!entry.direct && std::rename(entry.writtenPath.c_str(), ResolvedOutputPath(entry.finalPath).c_str()) != 0) {
            failedPath = entry.finalPath;
            reason = SystemReason(errno);
            return false;
        }
        entry.committed = true;
    }
    return true;
}

void OutputFiles::Discard()
{
    for (Entry& entry : files) {
        if (entry.stream) {
            std::fclose(entry.stream);
            entry.stream = nullptr;
        }
        if (!entry.committed && !entry.direct)
            std::remove(entry.writtenPath.c_str());
        entry.committed = true;
    }
}

bool CanCreateFilesBeside(const std::string& path, std::string& reason)
{
    if (IsSpecialFile(path))
        return true;
    std::string probe;
    int error = 0;
    std::FILE* file = CreateTemporaryBeside(ResolvedOutputPath(path), probeTag, probe, error);
    if (!file) {
        reason = SystemReason(error);
        return false;
    }
    std::fclose(file);
    std::remove(probe.c_str());
    return true;
}

bool SameFile(const std::string& path, const std::string& other)
{
    std::error_code error;
    return fs::equivalent(path, other, error) && !error;
}

bool IsPageFileName(const std::string& path)
{
    std::error_code error;
    if (!fs::equivalent(FolderOf(path), ".", error) || error)
        return false;
    const std::string name = fs::path(path).filename().string();
    const size_t prefix = std::strlen(pageNamePrefix), suffix = std::strlen(pageNameSuffix);
    if (name.size() <= prefix + suffix || name.compare(0, prefix, pageNamePrefix) != 0 ||
        name.compare(name.size() - suffix, suffix, pageNameSuffix) != 0)
        return false;
    const std::string number = name.substr(prefix, name.size() - prefix - suffix);
    // Pages are numbered "%d": no sign, no leading zero.
    if (number.size() > 1 && number[0] == '0')
        return false;
    return number.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace App
