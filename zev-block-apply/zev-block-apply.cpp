// zev-block-apply: writes the change records of a zev-block-diff-tool stream into a target
// image, so that a copy of the first image becomes the second one.
//
// The stream library's reader checks every record completely (form, range, order, Base64, LZ4
// length) before its block is written at its offset.
//
// Block manifests bracket the writes when they are given: the target is proven to be the base
// the stream was made from before anything is written (--base-manifest), and to be the image
// the stream leads to once everything is flushed (--result-manifest).
//
// A run that succeeds ends with a one-line summary on standard output: the change records
// applied, their bytes, the time and the manifest checks that passed. On a terminal a run
// longer than a second shows its progress on standard error (the checks and the stream, each
// in turn); the line is removed before any message.
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <string>

#include "block-manifest.h"
#include "command_line.h"
#include "io-all.h"
#include "progress_line.h"
#include "stream-reader.h"

namespace {

// Exit status: 0 the target is a complete copy, 1 failure or invalid stream, 2 a wrong
// command line (zevcli::kUsageError), 3 a valid stream whose diff stopped early.
const int kExitFailure = 1;
const int kExitIncomplete = 3;

// One message on standard error, which begins with the program's name like every message.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("zev-block-apply: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

// `name`: the text of errno.
void say_errno(const std::string& name) { say("%s: %s", name.c_str(), strerror(errno)); }

// Every line of `text` (each ending with a line break) as a message.
void say_lines(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        say("%s", text.substr(at, end - at).c_str());
        at = end == std::string::npos ? text.size() : end + 1;
    }
}

struct Target {
    std::string path;
    int fd = -1;
    uint64_t size = 0;
    ~Target() {
        if (fd >= 0) close(fd);
    }
};

// Opens the target with `access` (O_RDONLY for a check, O_RDWR when a manifest check reads it
// back, O_WRONLY otherwise) and finds its size by seeking to its end. Only a regular file or a
// block device is taken.
bool open_target(Target* target, int access) {
    // The type is checked before the open, which would block on a FIFO, and again on what was
    // opened (without blocking), so that a file swapped in between is refused too.
    struct stat named;
    if (stat(target->path.c_str(), &named) != 0) {
        say_errno(target->path.c_str());
        return false;
    }
    const auto refuse_type = [&](const struct stat& st) {
        if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return false;
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENOTBLK;
        say_errno(target->path.c_str());
        return true;
    };
    if (refuse_type(named)) return false;
    target->fd = open(target->path.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    if (target->fd < 0 || fstat(target->fd, &st) != 0) {
        say_errno(target->path.c_str());
        return false;
    }
    if (refuse_type(st)) return false;
    if (st.st_dev != named.st_dev || st.st_ino != named.st_ino) {
        say("%s: changed while it was opened", target->path.c_str());
        return false;
    }
    fcntl(target->fd, F_SETFL, fcntl(target->fd, F_GETFL) & ~O_NONBLOCK);
    const off_t end = lseek(target->fd, 0, SEEK_END);
    if (end < 0) {
        say_errno(target->path.c_str());
        return false;
    }
    target->size = static_cast<uint64_t>(end);
    return true;
}

// Writes one block; false with the failure's offset in `failed_at` and errno set.
bool write_block(const Target& target, const unsigned char* block, uint64_t length, uint64_t offset,
                 uint64_t* failed_at) {
    size_t done = 0;
    if (zev::pwrite_all(target.fd, block, length, offset, ENOSPC, &done)) return true;
    *failed_at = offset + done;
    return false;
}

// What a stream held: its change records and their bytes.
struct Tally {
    uint64_t records = 0;
    uint64_t bytes = 0;
};

// After the last line: the stream had its final record, the blocks are on stable storage, and
// the diff covered the whole image. Returns the exit status.
int finish_stream(const Target& target, const zev::StreamReader& reader, bool check_only) {
    if (!reader.final_seen()) {
        say("stream ended without its final record after line %" PRIu64, reader.line_number());
        return kExitFailure;
    }
    if (!check_only && fsync(target.fd) != 0) {
        say("%s: flush to stable storage failed: %s", target.path.c_str(), strerror(errno));
        return kExitFailure;
    }
    if (reader.final_offset() < target.size) {
        say("the diff stopped at offset %" PRIu64 " of %" PRIu64
            " bytes: the target %s a complete copy",
            reader.final_offset(), target.size, check_only ? "would not be" : "is not");
        return kExitIncomplete;
    }
    return 0;
}

// Applies (or with check_only, only validates) the stream read from `input_fd`, counting its
// change records into `tally`; the progress line follows the stream's offset through the
// target. Returns the exit status.
int apply_stream(const Target& target, int input_fd, const char* input_name, bool check_only,
                 Tally* tally, zevcli::ProgressLine& progress) {
    zev::StreamReader reader(input_fd, target.size);
    zev::StreamRecord record;
    progress.start(check_only ? "checking the stream" : "applying", target.size);
    for (;;) {
        const zev::StreamReader::Result got = reader.next(record);
        if (got == zev::StreamReader::kEnd) break;
        if (got == zev::StreamReader::kReadError) {
            const int error = errno;
            progress.finish();
            say("%s: %s", input_name, strerror(error));
            return kExitFailure;
        }
        if (got == zev::StreamReader::kInvalid) {
            progress.finish();
            say("line %" PRIu64 ": %s", reader.line_number(), reader.problem().c_str());
            return kExitFailure;
        }
        uint64_t failed_at = 0;
        if (record.kind == zev::StreamRecord::kChange && !check_only &&
            !write_block(target, reader.block(), record.length, record.offset, &failed_at)) {
            const int error = errno;
            progress.finish();
            say("%s: write at offset %" PRIu64 " failed: %s", target.path.c_str(), failed_at,
                strerror(error));
            return kExitFailure;
        }
        if (record.kind == zev::StreamRecord::kChange) {
            tally->records += 1;
            tally->bytes += record.length;
        }
        progress.done().store(record.offset + record.length, std::memory_order_relaxed);
    }
    progress.finish();
    return finish_stream(target, reader, check_only);
}

// A manifest named on the command line and what it describes.
struct ManifestOption {
    CLI::Option* option = nullptr;
    std::string path;
    zev::Manifest manifest;
    bool given() const { return option->count() > 0; }
};

// Loads a manifest given on the command line; a damaged or unreadable one is refused.
bool load_manifest(ManifestOption* option) {
    std::string error;
    if (!option->given() || option->manifest.load(option->path, error)) return true;
    say("%s", error.c_str());
    return false;
}

// Says so when the target's size is not the image size of the manifest.
bool same_size(const Target& target, const zev::Manifest& manifest) {
    if (target.size == manifest.image_size()) return true;
    say("%s: size %" PRIu64 " bytes, the manifest describes %" PRIu64 " bytes", target.path.c_str(),
        target.size, manifest.image_size());
    return false;
}

enum class Comparison { kSame, kDifferent, kUnreadable };

// Hashes the whole target in the manifest's blocks, with one thread per core, and compares.
// Every difference, or the read failure, goes to standard error. `label` names the check on
// the progress line.
Comparison compare_with(const Target& target, const zev::Manifest& expected, const char* label,
                        zevcli::ProgressLine& progress) {
    zev::Manifest actual;
    std::string error;
    progress.start(label, target.size);
    const bool hashed = zev::hash_image(target.fd, target.path, expected.block_size(), 0, actual,
                                        error, &progress.done());
    progress.finish();
    if (!hashed) {
        say("%s", error.c_str());
        return Comparison::kUnreadable;
    }
    const std::string differences = zev::describe_differences(expected, actual, target.path);
    say_lines(differences);
    return differences.empty() ? Comparison::kSame : Comparison::kDifferent;
}

void report_wrong_base(const Target& target, const ManifestOption& base) {
    say("%s: not the base this stream was made from (base manifest %s): nothing was "
        "written",
        target.path.c_str(), base.path.c_str());
}

// The checks that come before the stream is read: the manifests describe images of the
// target's size, and the target is the base. Nothing has been written when they fail; the
// base manifest's digests are released once they have served.
bool check_before_writing(const Target& target, ManifestOption* base, const ManifestOption& result,
                          zevcli::ProgressLine& progress) {
    if (base->given() && !same_size(target, base->manifest)) {
        report_wrong_base(target, *base);
        return false;
    }
    if (result.given() && !same_size(target, result.manifest)) {
        say("%s: the result manifest %s describes an image of another size: nothing was "
            "written",
            target.path.c_str(), result.path.c_str());
        return false;
    }
    if (base->given()) {
        const Comparison found =
            compare_with(target, base->manifest, "checking the base", progress);
        if (found == Comparison::kDifferent) report_wrong_base(target, *base);
        if (found != Comparison::kSame) return false;
        base->manifest = zev::Manifest();
    }
    return true;
}

// The check after a complete stream has been applied and flushed: the target now holds the
// image the result manifest describes. Returns the exit status.
int check_result(const Target& target, const ManifestOption& result,
                 zevcli::ProgressLine& progress) {
    const Comparison found = compare_with(target, result.manifest, "checking the result", progress);
    if (found == Comparison::kDifferent) {
        say("%s: the result does not match the manifest %s", target.path.c_str(),
            result.path.c_str());
    }
    return found == Comparison::kSame ? 0 : kExitFailure;
}

// The line of a run that succeeded, with the checks that passed.
std::string summary(const Target& target, const Tally& tally, bool check_only, bool base_checked,
                    bool result_checked, double seconds) {
    char time[32];
    snprintf(time, sizeof time, "%.1f", seconds);
    const std::string records = std::to_string(tally.records) +
                                (tally.records == 1 ? " change record (" : " change records (") +
                                std::to_string(tally.bytes) + " bytes)";
    std::string line = check_only
                           ? "checked " + records + " for " + target.path + " in " + time +
                                 " s: valid and complete, nothing written"
                           : "applied " + records + " to " + target.path + " in " + time + " s";
    if (base_checked && result_checked) {
        line += "; base and result manifests match";
    } else if (base_checked) {
        line += "; base manifest matches";
    } else if (result_checked) {
        line += "; result manifest matches";
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Applies a zev-block-diff-tool change stream to a target image of the same size."};
    zevcli::setup(
        app, "zev-block-apply",
        "Examples:\n"
        "  zev-block-apply restored.img --input tuesday.jsonl\n"
        "  zev-block-diff-tool monday.img tuesday.img | zev-block-apply copy.img\n"
        "  zev-block-apply copy.img --input tuesday.jsonl --base-manifest monday.manifest "
        "\\\n"
        "      --result-manifest tuesday.manifest\n"
        "  zev-block-apply copy.img --input tuesday.jsonl --check");
    std::string target_path;
    std::string input_path;
    bool check_only = false;
    ManifestOption base;
    ManifestOption result;
    app.add_option("target", target_path,
                   "file or block device to write the changed blocks into; it keeps its size")
        ->type_name("TARGET")
        ->required();
    app.add_option("--input", input_path, "read the stream from FILE (default: standard input)")
        ->type_name("FILE");
    CLI::Option* check = app.add_flag("--check", check_only,
                                      "validate the stream only; the target is opened read-only");
    base.option =
        app.add_option("--base-manifest", base.path,
                       "before writing anything, check that the target is the image this block "
                       "manifest describes")
            ->type_name("FILE");
    result.option =
        app.add_option("--result-manifest", result.path,
                       "after applying, check that the target is the image this block manifest "
                       "describes")
            ->type_name("FILE")
            ->excludes(check);
    try {
        app.parse(argc, argv);
        // "-" reads a manifest from standard input, which then cannot also carry the stream
        // or the other manifest.
        const bool base_dash = base.given() && base.path == "-";
        const bool result_dash = result.given() && result.path == "-";
        if ((base_dash || result_dash) && (input_path.empty() || (base_dash && result_dash))) {
            throw CLI::ValidationError((base_dash ? base : result).option->get_name(),
                                       "standard input can carry one manifest, and only when "
                                       "the stream comes from --input");
        }
    } catch (const CLI::ParseError& e) {
        return zevcli::exit_status(app, e);
    }

    const auto start = std::chrono::steady_clock::now();
    // One line for the whole run, so that its first second counts over the stages.
    zevcli::ProgressLine progress;
    if (!load_manifest(&base) || !load_manifest(&result)) return kExitFailure;
    Target target;
    target.path = target_path;
    // A manifest check reads the target back: it is opened read-write, never write-only.
    const int access = check_only ? O_RDONLY : base.given() || result.given() ? O_RDWR : O_WRONLY;
    if (!open_target(&target, access)) return kExitFailure;
    int input_fd = STDIN_FILENO;
    const char* input_name = "standard input";
    if (!input_path.empty()) {
        input_fd = open(input_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (input_fd < 0) {
            say_errno(input_path.c_str());
            return kExitFailure;
        }
        input_name = input_path.c_str();
    }
    if (!check_before_writing(target, &base, result, progress)) {
        if (input_fd != STDIN_FILENO) close(input_fd);
        return kExitFailure;
    }
    Tally tally;
    int status = apply_stream(target, input_fd, input_name, check_only, &tally, progress);
    if (input_fd != STDIN_FILENO) close(input_fd);
    if (result.given() && status == 0) status = check_result(target, result, progress);
    if (result.given() && status == kExitIncomplete) {
        // The blocks after the diff's stop are missing: comparing would only list them.
        say("%s: not checked against the result manifest %s: the stream is incomplete",
            target.path.c_str(), result.path.c_str());
    }
    if (status != 0) return status;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%s\n",
           summary(target, tally, check_only, base.given(), result.given(), seconds).c_str());
    if (fflush(stdout) != 0) {
        perror("standard output");
        return kExitFailure;
    }
    return 0;
}
