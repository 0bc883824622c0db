// zev-block-manifest: writes the block manifest of an image (the SHA-256 of every block), or
// checks an image against one.
//
// Exit status, as cmp gives it: 0 written, or the image matches; 1 the image differs from the
// manifest; 2 trouble (usage, an image or manifest that cannot be read, a damaged manifest, a
// manifest that cannot be written).
//
// A run that succeeds ends with a one-line summary, on standard output unless the manifest
// itself goes there (-o -), then on standard error. On a terminal a run longer than a second
// shows its progress on standard error while the image is hashed.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdint>
#include <string>

#include "block-manifest.h"
#include "command_line.h"
#include "progress_line.h"
#include "stream-format.h"

namespace {

const int kExitDiffers = 1;
const int kExitTrouble = 2;

// Largest --threads: more than this only costs memory (a buffer each).
const unsigned kMaxThreads = 1024;

// One line on `stream`; on standard error it begins with the program's name, like every
// message.
void say(FILE* stream, const std::string& line) {
    if (stream == stderr) fputs("zev-block-manifest: ", stream);
    fputs(line.c_str(), stream);
    fputc('\n', stream);
}

// Seconds since `start`, as the summary gives them ("0.4").
std::string seconds_since(std::chrono::steady_clock::time_point start) {
    char text[32];
    snprintf(text, sizeof text, "%.1f",
             std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return text;
}

// Hashes the image on `fd` of `size` bytes, with the progress line labelled `label`.
bool hash_with_progress(int fd, const std::string& path, uint64_t size, uint64_t block_size,
                        unsigned threads, const char* label, zev::Manifest& out,
                        std::string& error) {
    zevcli::ProgressLine progress;
    progress.start(label, size);
    const bool hashed =
        zev::hash_image(fd, path, block_size, threads, out, error, &progress.done());
    progress.finish();
    return hashed;
}

// Every line of `text` (each ending with a line break) as a message on standard error.
void say_lines(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        say(stderr, text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
}

// An image open for reading: a regular file or a block device.
class Image {
  public:
    ~Image() {
        if (fd_ >= 0) close(fd_);
    }
    int fd() const { return fd_; }

    // Opened without blocking, so that a FIFO is refused rather than waited on.
    bool open_path(const std::string& path) {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st;
        if (fd_ < 0 || fstat(fd_, &st) != 0) {
            say(stderr, path + ": cannot open: " + strerror(errno));
            return false;
        }
        if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
            const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                               : S_ISFIFO(st.st_mode) ? "a pipe"
                               : S_ISSOCK(st.st_mode) ? "a socket"
                                                      : "a character device";
            say(stderr, path + ": " + kind + ", not a regular file or a block device");
            return false;
        }
        const int flags = fcntl(fd_, F_GETFL);
        if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            say(stderr, path + ": " + strerror(errno));
            return false;
        }
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        return true;
    }

    // True when `path` names this very image (a manifest written there would replace it).
    bool is(const std::string& path) const {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
    }

  private:
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

int write_manifest(const std::string& image_path, const std::string& output, uint64_t block_size,
                   unsigned threads) {
    const auto start = std::chrono::steady_clock::now();
    Image image;
    if (!image.open_path(image_path)) return kExitTrouble;
    if (output != "-") {
        if (image.is(output)) {
            say(stderr, output + ": is the image itself; the manifest goes to another file");
            return kExitTrouble;
        }
        struct stat st;
        if (stat(output.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            say(stderr, output + ": not a regular file; the manifest would replace it");
            return kExitTrouble;
        }
    }
    const off_t end = lseek(image.fd(), 0, SEEK_END);
    if (end < 0) {
        say(stderr, image_path + ": " + strerror(errno));
        return kExitTrouble;
    }
    zev::Manifest manifest;
    std::string error;
    if (!hash_with_progress(image.fd(), image_path, static_cast<uint64_t>(end), block_size, threads,
                            "hashing", manifest, error) ||
        !manifest.save(output, error)) {
        say(stderr, error);
        return kExitTrouble;
    }
    // Standard output carries the manifest itself with -o -: the summary then goes beside it.
    say(output == "-" ? stderr : stdout,
        "wrote the manifest of " + image_path + " (" + std::to_string(manifest.image_size()) +
            " bytes, " + std::to_string(manifest.block_count()) + " blocks of " +
            std::to_string(manifest.block_size()) + " bytes, list digest " +
            manifest.list_digest_hex() + ") to " + (output == "-" ? "standard output" : output) +
            " in " + seconds_since(start) + " s");
    return 0;
}

int verify_image(const std::string& image_path, const std::string& manifest_path,
                 uint64_t block_size, bool block_size_given, unsigned threads) {
    zev::Manifest expected;
    std::string error;
    if (!expected.load(manifest_path, error)) {
        say(stderr, error);
        return kExitTrouble;
    }
    if (block_size_given && block_size != expected.block_size()) {
        say(stderr, "--block-size " + std::to_string(block_size) + ": the manifest " +
                        manifest_path + " has blocks of " + std::to_string(expected.block_size()) +
                        " bytes");
        return kExitTrouble;
    }
    Image image;
    if (!image.open_path(image_path)) return kExitTrouble;

    // Another size is told without reading the image.
    const off_t end = lseek(image.fd(), 0, SEEK_END);
    if (end < 0) {
        say(stderr, image_path + ": " + strerror(errno));
        return kExitTrouble;
    }
    zev::Manifest actual;
    if (static_cast<uint64_t>(end) != expected.image_size()) {
        if (!actual.reset(static_cast<uint64_t>(end), expected.block_size(), error)) {
            say(stderr, image_path + ": " + error);
            return kExitTrouble;
        }
    } else if (!hash_with_progress(image.fd(), image_path, expected.image_size(),
                                   expected.block_size(), threads, "checking", actual, error)) {
        say(stderr, error);
        return kExitTrouble;
    }
    const std::string differences = zev::describe_differences(expected, actual, image_path);
    if (!differences.empty()) {
        say_lines(differences);
        return kExitDiffers;
    }
    say(stdout, image_path + " matches " + manifest_path + " (" +
                    std::to_string(expected.block_count()) + " blocks, list digest " +
                    expected.list_digest_hex() + ")");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Writes the block manifest of an image (the SHA-256 of every block), or checks an image "
        "against one."};
    zevcli::setup(app, "zev-block-manifest",
                  std::string(zevcli::kSizeRule) +
                      "\n\nExamples:\n"
                      "  zev-block-manifest disk.img -o disk.manifest\n"
                      "  zev-block-manifest disk.img -o disk.manifest --block-size 1M\n"
                      "  zev-block-manifest restored.img --verify disk.manifest");
    std::string image_path;
    std::string output;
    std::string manifest_path;
    uint64_t block_size = ZEV_DEFAULT_BLOCK_SIZE;
    unsigned threads = 0;
    app.add_option("image", image_path, "disk image: a regular file or a block device")
        ->type_name("IMAGE")
        ->required();
    CLI::Option* output_option = app.add_option("-o,--output", output,
                                                "write the manifest to this file (through a new "
                                                "file beside it, renamed); - for standard output")
                                     ->type_name("FILE");
    CLI::Option* verify_option =
        app.add_option("--verify", manifest_path,
                       "check the image against this manifest instead (exit 1 when it differs)")
            ->type_name("FILE");
    output_option->excludes(verify_option);
    CLI::Option* block_size_option =
        app.add_option("--block-size", block_size,
                       "block size in bytes (default: 64K; with --verify the manifest's)")
            ->type_name("SIZE")
            ->transform(zevcli::SizeIn(1, ZEV_MAX_BLOCK_SIZE));
    app.add_option("--threads", threads, "hashing threads (default: 0, one per core)")
        ->type_name("N")
        ->transform(zevcli::CountIn(0, kMaxThreads));
    try {
        app.parse(argc, argv);
        if (output_option->count() == 0 && verify_option->count() == 0) {
            throw CLI::RequiredError("one of -o FILE and --verify FILE");
        }
    } catch (const CLI::ParseError& e) {
        return zevcli::exit_status(app, e);
    }

    const int status = verify_option->count() > 0
                           ? verify_image(image_path, manifest_path, block_size,
                                          block_size_option->count() > 0, threads)
                           : write_manifest(image_path, output, block_size, threads);
    if (fflush(stdout) != 0) {
        say(stderr, std::string("standard output: ") + strerror(errno));
        return kExitTrouble;
    }
    return status;
}
