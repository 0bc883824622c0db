// Benchmark of zev-block-apply against the stream's producer, on the image pairs of the diff
// benchmark (10% and 100% of the blocks differing), all in the page cache:
//   - produce: zev-block-diff-tool with its stream read from a pipe;
//   - check: zev-block-apply --check reading the stream from a file (parse, Base64, LZ4);
//   - apply: zev-block-apply writing every block into a copy of the reference image, fsync
//     included;
//   - pipeline: the diff tool's stream piped straight into zev-block-apply.
// Speeds are MiB of stream per second, the best of several repetitions; the peak resident
// memory of zev-block-apply is printed beside them.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <string>
#include <vector>

#include "bench_support.h"
#include "child_process.h"

namespace {

using namespace zev_bench;

bool copy_file(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY);
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> buf(4 * kMiB);
    ssize_t n = 0;
    bool ok = in >= 0 && out >= 0;
    while (ok && (n = read(in, buf.data(), buf.size())) > 0) {
        ok = write(out, buf.data(), static_cast<size_t>(n)) == n;
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return ok && n == 0;
}

// The diff tool piped into zev-block-apply, both started without a shell; returns the wall
// time, or a negative value when either fails.
double run_pipeline(const std::vector<std::string>& producer,
                    const std::vector<std::string>& consumer) {
    const double start = now_seconds();
    zev_common::ChildOptions produce;
    produce.in = zev_common::Stream::inherit();
    produce.out = zev_common::Stream::pipe();
    zev_common::ChildProcess first = zev_common::ChildProcess::start(producer, produce);
    zev_common::ChildOptions consume;
    consume.in = zev_common::Stream::from_fd(first.out_fd());
    zev_common::ChildProcess second = first.running()
                                          ? zev_common::ChildProcess::start(consumer, consume)
                                          : zev_common::ChildProcess();
    first.close_out();
    zev_common::ChildStatus a, b;
    const bool ok = first.wait(a) && second.wait(b) && a.exit_code == 0 && b.exit_code == 0;
    return ok ? now_seconds() - start : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string tool = ZEV_BENCH_DEFAULT_TOOL;
    std::string apply = ZEV_BENCH_DEFAULT_APPLY;
    BenchOptions options;
    options.reps = 5;
    CLI::App app{
        "zev-block-apply against zev-block-diff-tool producing the stream, on the image "
        "pairs of the diff benchmark in the page cache; its memory",
        "zev-apply-bench"};
    app.add_option("--tool", tool, "the zev-block-diff-tool producing the stream")
        ->capture_default_str();
    app.add_option("--apply", apply, "the zev-block-apply to measure")->capture_default_str();
    add_bench_options(app, options);
    const int status = parse_command_line(app, argc, argv, 2);
    if (status >= 0) return status;
    const std::string& dir = options.dir;
    mkdir(dir.c_str(), 0755);
    const ImageSet set = image_paths(dir, "apply");
    fprintf(stderr, "making a %zu MiB image set in %s...\n", options.size_mib, dir.c_str());
    if (!make_image_sets({{set, options.size_mib}}, options.block)) {
        fprintf(stderr, "making the images failed\n");
        return 1;
    }
    const std::string target = dir + "/apply-target.img";
    const std::string stream = dir + "/apply-stream.jsonl";
    const std::string bs = std::to_string(options.block);

    print_machine();
    printf(
        "| scenario | stream MiB | produce MiB/s (tool, pipe) | check MiB/s | apply MiB/s (with "
        "fsync) | pipeline tool -> apply MiB/s | apply / produce, wall | apply / produce, CPU | "
        "peak "
        "RSS of apply (KiB) |\n");
    printf("|---|---|---|---|---|---|---|---|---|\n");
    struct Scenario {
        const char* name;
        std::string second;
    } scenarios[] = {{"10% differing", set.ten}, {"100% differing", set.all}};
    for (const Scenario& s : scenarios) {
        for (const std::string& p : {set.reference, s.second}) warm(p);
        if (!copy_file(set.reference, target)) {
            fprintf(stderr, "cannot copy %s\n", set.reference.c_str());
            return 1;
        }
        const std::vector<std::string> tool_args = {tool, set.reference, s.second, "--block-size",
                                                    bs};
        const std::vector<std::string> apply_args = {apply, target};
        std::vector<std::string> check_args = {apply, target, "--check"};
        double produce = 1e30, check = 1e30, apply_time = 1e30, pipeline = 1e30;
        double produce_cpu = 1e30, apply_cpu = 1e30;
        long rss = 0;
        // The stream goes to a file without passing through this process, which stays small:
        // a child it starts counts its peak resident size as a floor of its own.
        // The stream goes to a file without passing through this process.
        struct stat st;
        if (run_child(tool_args, false, false, false, "", stream).status != 0 ||
            stat(stream.c_str(), &st) != 0) {
            fprintf(stderr, "the diff tool failed\n");
            return 1;
        }
        const uint64_t stream_bytes = static_cast<uint64_t>(st.st_size);
        warm(stream);
        for (int r = 0; r < options.reps; ++r) {
            const ChildRun made = run_child(tool_args, false);
            if (made.status != 0 || made.bytes != stream_bytes) {
                fprintf(stderr, "the diff tool failed with status %d\n", made.status);
                return 1;
            }
            produce = std::min(produce, made.seconds);
            produce_cpu = std::min(produce_cpu, made.cpu);
            const ChildRun checked = run_child(check_args, false, false, false, stream);
            const ChildRun applied = run_child(apply_args, false, false, false, stream);
            if (checked.status != 0 || applied.status != 0) {
                fprintf(stderr, "zev-block-apply failed with status %d / %d\n", checked.status,
                        applied.status);
                return 1;
            }
            check = std::min(check, checked.seconds);
            apply_time = std::min(apply_time, applied.seconds);
            apply_cpu = std::min(apply_cpu, applied.cpu);
            rss = std::max(rss, std::max(checked.max_rss_kib, applied.max_rss_kib));
            const double piped = run_pipeline(tool_args, apply_args);
            if (piped < 0) {
                fprintf(stderr, "the pipeline failed\n");
                return 1;
            }
            pipeline = std::min(pipeline, piped);
        }
        // The target must now equal the second image.
        const ChildRun same = run_child({"/usr/bin/cmp", "-s", target, s.second}, false);
        if (same.status != 0) {
            fprintf(stderr, "the applied target differs from %s\n", s.second.c_str());
            return 1;
        }
        const double mib = static_cast<double>(stream_bytes) / static_cast<double>(kMiB);
        // Ratios above 1: applying is faster than producing.
        printf("| %s | %.0f | %.0f | %.0f | %.0f | %.0f | %.2f | %.2f | %ld |\n", s.name, mib,
               mib / produce, mib / check, mib / apply_time, mib / pipeline, produce / apply_time,
               produce_cpu / apply_cpu, rss);
        fflush(stdout);
    }
    print_load("load average at the end");

    if (!options.keep) {
        for (const std::string& p :
             {set.reference, set.identical, set.ten, set.all, target, stream}) {
            unlink(p.c_str());
        }
        rmdir(dir.c_str());
    }
    return 0;
}
