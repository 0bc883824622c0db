// Fuzz target: the block manifest reader on damaged or hostile files.
//  - every input is refused with a reason naming the file, or loads;
//  - a manifest that loads is written again byte for byte as it was read.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "block-manifest.h"
#include "io-all.h"

namespace {

std::string folder;

std::string read_back(const std::string& path) {
    std::string bytes;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) abort();
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The writer goes through a temporary file and a rename in the manifest's folder, on
    // memory where one is at hand.
    char name[] = "/dev/shm/fuzz-manifest-XXXXXX";
    char fallback[] = "/tmp/fuzz-manifest-XXXXXX";
    const char* made = mkdtemp(name);
    if (made == nullptr) made = mkdtemp(fallback);
    if (made == nullptr) abort();
    folder = made;
    atexit([] { rmdir(folder.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("manifest", MFD_CLOEXEC);
    if (fd < 0 || !zev::write_all(fd, data, size)) abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    zev::Manifest manifest;
    std::string error;
    const bool loaded = manifest.load(path, error);
    close(fd);
    if (!loaded) {
        if (error.compare(0, path.size() + 2, path + ": ") != 0) abort();
        return 0;
    }
    const std::string copy = folder + "/m";
    if (!manifest.save(copy, error)) abort();
    const std::string bytes = read_back(copy);
    if (bytes.size() != size || memcmp(bytes.data(), data, size) != 0) abort();
    unlink(copy.c_str());
    return 0;
}
