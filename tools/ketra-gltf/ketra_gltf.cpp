// ketra-gltf MESH.txt OUT.glb [--pages DIR]
//
// Turns a mesh file and its lightmap pages (Ketra_lightmap_<page>.png beside the mesh file, or
// in DIR) into one binary glTF file, through the same writer as the tool's own .glb output.

#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/gltf_writer.h"
#include "app/mesh_reader.h"
#include "app/page_images.h"

namespace {

constexpr const char* usage =
    "usage: ketra-gltf MESH.txt OUT.glb [--pages DIR]\n"
    "  Writes the mesh file and its lightmap pages as one binary glTF file. The pages\n"
    "  (Ketra_lightmap_<page>.png) are read from DIR, or else from the mesh file's folder.\n"
    "exit codes: 0 written, 1 wrong command line, 2 a file could not be read,\n"
    "  3 the mesh file or a page is malformed, 6 the output could not be written\n";

struct Arguments {
    std::string meshPath, outputPath, pagesDirectory;
    bool pagesGiven = false;
};

int UsageError(const char* problem)
{
    std::fprintf(stderr, "ketra-gltf: %s\n%s", problem, usage);
    return App::ExitUsage;
}

// Returns -1 when the arguments are fine, else the exit code to end with.
int ParseArguments(int argc, char** argv, Arguments& arguments)
{
    std::vector<std::string> positional;
    for (int i = 1; i < argc; i++) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            std::printf("%s", usage);
            return App::ExitSuccess;
        }
        if (word == "--pages") {
            if (i + 1 >= argc)
                return UsageError("--pages needs a folder");
            arguments.pagesDirectory = argv[++i];
            arguments.pagesGiven = true;
        } else if (word.size() > 1 && word[0] == '-') {
            return UsageError(("unknown option " + word).c_str());
        } else {
            positional.push_back(word);
        }
    }
    if (positional.size() != 2)
        return UsageError("expected a mesh file and an output file");
    arguments.meshPath = positional[0];
    arguments.outputPath = positional[1];
    // Also keeps a slip of the arguments' order from overwriting the mesh file.
    if (!App::IsGlbPath(arguments.outputPath))
        return UsageError("the output file must end in .glb");
    if (!arguments.pagesGiven) {
        size_t slash = arguments.meshPath.find_last_of('/');
        arguments.pagesDirectory = slash == std::string::npos ? "" : arguments.meshPath.substr(0, slash + 1);
    }
    return -1;
}

int Fail(int code, const std::string& message)
{
    std::fprintf(stderr, "ketra-gltf: %s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv)
{
    Arguments arguments;
    if (int code = ParseArguments(argc, argv, arguments); code >= 0)
        return code;

    App::BakedMesh mesh;
    std::string error;
    switch (App::ReadMeshFile(arguments.meshPath, mesh, error)) {
    case App::MeshReadResult::Ok:
        break;
    case App::MeshReadResult::Missing:
        return Fail(App::ExitOpenFailed, error);
    case App::MeshReadResult::Malformed:
        return Fail(App::ExitParseFailed, error);
    }
    const int32_t pageCount = App::PageCountOf(mesh);
    switch (App::ReadPageImages(pageCount, arguments.pagesDirectory, mesh.pagePngs, error)) {
    case App::PageReadResult::Ok:
        break;
    case App::PageReadResult::Missing:
        // The tool writes its pages to the directory it ran in, which need not hold the mesh file.
        return Fail(App::ExitOpenFailed, error + (arguments.pagesGiven ? "" : " (--pages DIR reads them from DIR)"));
    case App::PageReadResult::Malformed:
        return Fail(App::ExitParseFailed, error);
    }
    if (!App::WriteGlbFile(mesh, arguments.outputPath, error))
        return Fail(App::ExitWriteFailed, "failed to write " + arguments.outputPath + ": " + error);
    std::printf("wrote %s: %zu triangles, %d lightmap pages\n", arguments.outputPath.c_str(), mesh.pages.size(),
                pageCount);
    return App::ExitSuccess;
}
