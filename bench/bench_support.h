// Shared parts of the benchmarks: disk-image sets, timed child runs and servers (started with
// the common kit's launcher), the command line, the machine description.
#ifndef ZEV_BENCH_BENCH_SUPPORT_H
#define ZEV_BENCH_BENCH_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "timing.h"

namespace CLI {
class App;
}

namespace zev_bench {

constexpr uint64_t kMiB = 1024 * 1024;

using zev_common::now_seconds;

// Bytes of the programs and libraries installed on this machine, at most `limit`.
std::vector<unsigned char> load_executable_pool(size_t limit);

// Fills `out` with disk-image-like content: segments of 4 KiB to 1 MiB of zeros (30%), text
// (25%), executable bytes (30%) or random bytes (15%).
void fill_image(unsigned char* out, size_t size, uint64_t seed,
                const std::vector<unsigned char>& exe_pool);

bool write_whole(const std::string& path, const unsigned char* data, size_t size);

// Reads a file once so that it sits in the page cache.
void warm(const std::string& path);

// The reference image, an identical copy, one with 10% of its blocks rewritten and one with
// every block rewritten (a rewritten block always differs).
struct ImageSet {
    std::string reference, identical, ten, all;
};

ImageSet image_paths(const std::string& dir, const std::string& tag);
void make_images(const ImageSet& s, size_t size, size_t block,
                 const std::vector<unsigned char>& pool);

// The options every benchmark shares, added to its CLI11 command line: --dir (required),
// --size-mib, --reps, --keep and, with `block_size`, --block-size. Sizes and repetitions must
// be above zero.
struct BenchOptions {
    std::string dir;
    size_t size_mib = 1024;
    size_t block = 65536;
    int reps = 7;
    bool keep = false;
};
void add_bench_options(CLI::App& app, BenchOptions& options, bool block_size = true);

// Parses the command line with `app`: -1 when the program goes on, 0 after --help, `bad` after
// CLI11's message for a wrong command line.
int parse_command_line(CLI::App& app, int argc, char** argv, int bad);

// The path of this program from its argv[0], for starting itself again: argv[0] as given when
// it names a file (made absolute), otherwise the first match on PATH. Unlike /proc/self/exe it
// holds inside a changed root, where the kernel may name the file as seen from outside it.
// Empty when it cannot be found.
std::string own_path(const char* argv0);

struct ChildRun {
    double seconds = 0;
    double cpu = 0;  // user + system time of the child
    long vm_hwm_kib = -1;
    long max_rss_kib = 0;
    int status = -1;
    uint64_t bytes = 0;
    uint64_t lines = 0;
    std::string stream;  // the whole stream, when asked for
};

// Peak resident size (VmHWM) of a running process in KiB, or -1 once it has exited.
long read_vm_hwm(pid_t pid);

// Runs a program with its standard output on a pipe that this process drains (the way a
// caller reads the stream), on /dev/null with `to_null`, or in the file `stdout_path`
// (created or truncated) when given, and standard input from `stdin_path` when given; returns
// wall time, CPU time, exit status and peak resident memory (sampled from /proc while output
// arrives, with `sample_rss`).
ChildRun run_child(const std::vector<std::string>& argv, bool capture, bool sample_rss = false,
                   bool to_null = false, const std::string& stdin_path = "",
                   const std::string& stdout_path = "");

// True when both files can be read and hold the same bytes.
bool same_files(const std::string& a, const std::string& b);

// Makes each image set at its size (MiB) in a child process, so that the calling process stays
// small: a child it starts counts its peak resident size as a floor of its own. Returns false
// when the child fails.
bool make_image_sets(const std::vector<std::pair<ImageSet, size_t>>& sets, size_t block);

// Runs `body` in a forked child, so that what it allocates never counts to this process's
// memory; true when it returned true.
bool in_child(const std::function<bool()>& body);

// A server started as a child process that prints "listening on 127.0.0.1:PORT" when ready
// (hxa-simulator, or a benchmark's own baseline server).
struct Server {
    pid_t pid = -1;
    uint16_t port = 0;
};
// Starts `args` (args[0] the program) and waits for its line; pid -1 with `error` when it did
// not start. Its standard error goes to `log_path` when one is given. Every server started is
// remembered until stop_server().
Server start_server(const std::vector<std::string>& args, std::string& error,
                    const std::string& log_path = "");
// SIGTERM, then waits for the exit.
void stop_server(Server& s);
// Stops every server still running, for the paths that end a benchmark early.
void stop_all_servers();

// --changed-pct PERCENT: the share of the blocks a benchmark changes, above 0 and at most 100.
void add_changed_pct_option(CLI::App& app, std::string& pct);
// The blocks that `pct` percent of `blocks` is, rounded, at least one.
uint64_t changed_block_count(uint64_t blocks, const std::string& pct);

// The middle of the values (0 for none).
double median(std::vector<double> values);

// `count` distinct blocks of `blocks`, drawn at random from `seed`, in offset order.
std::vector<uint64_t> pick_blocks(uint64_t blocks, uint64_t count, uint64_t seed);

// A chain of disk images, made in a child process so that the caller stays small: paths[0] is
// filled with image-like content of `size` bytes; each further path is the one before with the
// blocks in `changes[i - 1]` rewritten with new content of the same kinds (a rewritten block
// always differs). False when a file cannot be written.
bool make_image_chain(const std::vector<std::string>& paths, uint64_t size, uint64_t block,
                      const std::vector<std::vector<uint64_t>>& changes);

// The size of a file, 0 when it cannot be found.
uint64_t file_size(const std::string& path);

void print_load(const char* what);
// CPUs, memory and the load average at the start.
void print_machine();

}  // namespace zev_bench

#endif
