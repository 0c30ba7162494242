// kestrun-sim: runs kestrun on virtual adapters.
//
// Starts the kestrun next to this program with the simulator library loaded
// ahead of libusb (LD_PRELOAD) and passes every argument through, so that
//   kestrun-sim -D DUNLINFD2 -a 500000 -d 2000000 -r
// behaves like kestrun on a real adapter. The library is looked for relative
// to this program: in the install layout (bin/ and the library directory)
// and in the build tree (sim/ below the directory of kestrun).
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef KSIM_LIBDIR_FROM_BINDIR
#define KSIM_LIBDIR_FROM_BINDIR "../lib"
#endif
// Set in sanitizer builds: the sanitizer runtime must come first among the
// loaded libraries, ahead of the (sanitized) simulator library.
#ifndef KSIM_ASAN_RUNTIME
#define KSIM_ASAN_RUNTIME ""
#endif

namespace {

constexpr char kLibraryName[] = "libkestrun-usbsim.so";

std::string ownDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return std::string();
    }
    path[n] = '\0';
    std::string text(path);
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string(".") : text.substr(0, slash);
}

std::string findLibrary(const std::string& directory) {
    const std::vector<std::string> candidates = {
        directory + "/" KSIM_LIBDIR_FROM_BINDIR "/" + kLibraryName,
        directory + "/../lib/" + kLibraryName,
        directory + "/sim/" + kLibraryName,
    };
    for (const std::string& candidate : candidates) {
        char resolved[PATH_MAX];
        if (access(candidate.c_str(), R_OK) == 0 && realpath(candidate.c_str(), resolved)) {
            return resolved;
        }
    }
    return std::string();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string directory = ownDirectory();
    if (directory.empty()) {
        fprintf(stderr, "kestrun-sim: cannot tell where this program lives: %s\n", strerror(errno));
        return 127;
    }
    const std::string tool = directory + "/kestrun";
    if (access(tool.c_str(), X_OK) != 0) {
        fprintf(stderr, "kestrun-sim: no kestrun next to kestrun-sim (%s): %s\n", tool.c_str(),
                strerror(errno));
        return 127;
    }
    const std::string library = findLibrary(directory);
    if (library.empty()) {
        fprintf(stderr, "kestrun-sim: cannot find %s in %s/%s, %s/../lib or %s/sim\n", kLibraryName,
                directory.c_str(), KSIM_LIBDIR_FROM_BINDIR, directory.c_str(), directory.c_str());
        return 127;
    }

    std::string preload;
    if (KSIM_ASAN_RUNTIME[0] != '\0') {
        preload = std::string(KSIM_ASAN_RUNTIME) + " ";
    }
    preload += library;
    if (const char* earlier = getenv("LD_PRELOAD"); earlier != nullptr && *earlier != '\0') {
        preload += std::string(" ") + earlier;
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);

    std::vector<char*> arguments;
    arguments.push_back(const_cast<char*>(tool.c_str()));
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(argv[i]);
    }
    arguments.push_back(nullptr);
    execv(tool.c_str(), arguments.data());
    fprintf(stderr, "kestrun-sim: cannot run %s: %s\n", tool.c_str(), strerror(errno));
    return 127;
}
