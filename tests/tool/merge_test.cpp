// zev-block-merge as a user runs it: chains of streams made by the real diff tool, merged by the
// real program, checked against the diff tool's stream of the first and last images and by the
// real zev-block-apply; and every input it refuses, with nothing written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "child_process.h"
#include "tool_test_support.h"

namespace {

using namespace zev_test;
using namespace testcommon;

const std::string kMerge = ZEV_MERGE_PATH;
const std::string kApply = ZEV_APPLY_PATH;
const std::string kManifest = ZEV_MANIFEST_PATH;

// The stream of the diff tool between two image files.
std::string diff_files(const std::string& a, const std::string& b, uint64_t block) {
    const RunResult r = run_tool({a, b, "--block-size", std::to_string(block)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
}

// The number (from 1) of the first line of `text` that holds `needle`.
std::string line_of(const std::string& text, const std::string& needle) {
    const size_t at = text.find(needle);
    EXPECT_NE(at, std::string::npos) << needle;
    return std::to_string(std::count(text.begin(), text.begin() + static_cast<long>(at), '\n') + 1);
}

// A base image and three days: overlapping changes, a shorter last block, and a block put
// back to the base's contents on the last day.
struct Chain {
    TempDir dir;
    uint64_t block;
    std::vector<std::string> images, streams;

    Chain(uint64_t size, uint64_t b) : block(b) {
        std::string day = mixed_content(size, 1);
        const std::string base = day;
        const uint64_t last = (size - 1) / block;
        const std::vector<std::vector<uint64_t>> changes = {{1, 3, last}, {3, 4}, {0, 4}};
        save(day);
        for (size_t d = 0; d < changes.size(); ++d) {
            for (uint64_t k : changes[d])
                for (uint64_t i = k * block; i < std::min(size, (k + 1) * block); i += 7)
                    day[i] = static_cast<char>(day[i] + 1 + d);
            if (d == 1) day.replace(block, block, base, block, block);  // block 1 back
            save(day);
            streams.push_back(dir.file("day" + std::to_string(d + 1) + ".jsonl"));
            write_file(streams.back(), diff_files(images[d], images[d + 1], block));
        }
    }
    void save(const std::string& content) {
        images.push_back(dir.file("image" + std::to_string(images.size()) + ".img"));
        write_file(images.back(), content);
    }
    std::string manifest_of(const std::string& image, uint64_t block_size) {
        const std::string path = image + "." + std::to_string(block_size) + ".manifest";
        EXPECT_EQ(
            run_program(kManifest, {image, "-o", path, "--block-size", std::to_string(block_size)})
                .exit_code,
            0);
        return path;
    }
};

RunResult merge(const std::vector<std::string>& args) { return run_program(kMerge, args); }

struct ChainCase {
    const char* name;
    uint64_t size;
    uint64_t block;
};

std::ostream& operator<<(std::ostream& out, const ChainCase& c) { return out << c.name; }

class Chains : public ::testing::TestWithParam<ChainCase> {};

TEST_P(Chains, WithTheBaseManifestItIsTheDiffOfFirstAndLastAndWithoutItAppliesToTheLast) {
    Chain c(GetParam().size, GetParam().block);
    const std::string manifest = c.manifest_of(c.images.front(), c.block);
    std::vector<std::string> args = c.streams;
    args.insert(args.end(), {"--base-manifest", manifest});
    const RunResult merged = merge(args);
    ASSERT_EQ(merged.exit_code, 0) << merged.err;
    EXPECT_EQ(merged.out, diff_files(c.images.front(), c.images.back(), c.block));
    EXPECT_NE(merged.err.find("zev-block-merge: merged 3 streams of an image of " +
                              std::to_string(GetParam().size) + " bytes in blocks of " +
                              std::to_string(c.block) + " bytes into standard output: "),
              std::string::npos)
        << merged.err;
    EXPECT_NE(merged.err.find(", 1 left out as equal to the base\n"), std::string::npos)
        << merged.err;

    // Through -o: the same bytes under the name, no temporary left beside it.
    args.insert(args.end(), {"-o", c.dir.file("merged.jsonl")});
    const RunResult to_file = merge(args);
    ASSERT_EQ(to_file.exit_code, 0) << to_file.err;
    EXPECT_EQ(to_file.out, "");
    EXPECT_EQ(read_file(c.dir.file("merged.jsonl")), merged.out);
    EXPECT_EQ(names_with(c.dir.path(), "merged.jsonl.").size(), 0u);

    // Without the manifest the put-back block stays in; applied once, the base becomes the
    // last day.
    const RunResult plain = merge(c.streams);
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    const std::string restored = c.dir.file("restored.img");
    write_file(restored, read_file(c.images.front()));
    write_file(c.dir.file("plain.jsonl"), plain.out);
    const RunResult applied = run_program(kApply, {restored, "--input", c.dir.file("plain.jsonl")});
    ASSERT_EQ(applied.exit_code, 0) << applied.err;
    EXPECT_TRUE(read_file(restored) == read_file(c.images.back()));
    EXPECT_EQ(parse_stream(plain.out).size(), parse_stream(merged.out).size() + 1);

    // Streams without a change record: the heartbeats of the manifest's block size, or without
    // the manifest those the streams carry.
    const std::string none = c.dir.file("none.jsonl");
    write_file(none, diff_files(c.images.front(), c.images.front(), c.block));
    EXPECT_EQ(merge({none, none}).out, read_file(none));
    EXPECT_EQ(merge({none, none, "--base-manifest", manifest}).out, read_file(none));
}

INSTANTIATE_TEST_SUITE_P(Images, Chains,
                         ::testing::Values(ChainCase{"short_last_block", 5 * 4096 + 1000, 4096},
                                           ChainCase{"blocks_of_64K", 1048576 + 12345, 65536},
                                           // blocks far below 1/100 of the image
                                           ChainCase{"small_blocks", 300 * 512 + 100, 512}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Refused {
    std::vector<std::string> args;
    std::string message;  // what standard error must hold
};

// Inputs the merge refuses, made beside the chain's: each with the message that names it.
std::vector<Refused> refused_inputs(Chain& c) {
    const std::string &s1 = c.streams[0], &s2 = c.streams[1];
    auto stream = [&](const std::string& name, const std::string& text) {
        write_file(c.dir.file(name), text);
        return c.dir.file(name);
    };
    // The same days in blocks of 8 KiB; only the last block changed, in blocks of 4 and 8 KiB.
    const std::string other_blocks = stream("8k.jsonl", diff_files(c.images[1], c.images[2], 8192));
    std::string last_changed = read_file(c.images[0]);
    last_changed.back() ^= 1;
    const std::string last_img = stream("last.img", last_changed);
    const std::string tail4k = stream("tail4k.jsonl", diff_files(c.images[0], last_img, 4096));
    const std::string tail8k = stream("tail8k.jsonl", diff_files(c.images[0], last_img, 8192));
    const std::string tail8k_line = line_of(read_file(tail8k), ",\"length\":5096,");
    // An image of another size, a cut and a damaged stream (a bad character in the Base64
    // text of the first change record), a FIFO, and manifests of another size and block size.
    const std::string small = stream("small.img", mixed_content(4096 * 3, 5));
    const std::string other_size = stream(
        "small.jsonl", diff_files(small, stream("small2.img", mixed_content(4096 * 3, 6)), 4096));
    std::string text = read_file(s2);
    const std::string cut =
        stream("cut.jsonl", text.substr(0, text.rfind('\n', text.size() - 2) + 1));
    text[text.find("\"data\":\"", text.find(",\"length\":4096,")) + 10] = '*';
    const std::string damaged = stream("damaged.jsonl", text);
    const std::string fifo = c.dir.file("fifo");
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string small_manifest = c.manifest_of(small, 4096);
    const std::string manifest_8k = c.manifest_of(c.images[0], 8192);
    const std::string not_a_block = " is not one block of ";
    return {
        {{s1, other_size},
         other_size + " describes an image of 12288 bytes, " + s1 + " one of 21480 bytes"},
        {{s1, other_blocks},
         other_blocks + ": line " + line_of(read_file(other_blocks), ",\"length\":8192,") +
             ": a change record of 8192 bytes at offset 0" + not_a_block +
             "4096 bytes (the block size of " + s1 + ", line "},
        {{s1, tail8k},
         tail8k + ": line " + tail8k_line + ": a change record of 5096 bytes at offset 16384" +
             not_a_block + "4096 bytes"},
        {{tail4k, tail8k},
         tail8k + ": line " + tail8k_line +
             ": the image's last block starts at offset 16384, at offset 20480 in " + tail4k},
        {{s1, cut}, cut + ": its last line is not a final record"},
        {{s1, damaged}, damaged + ": line " + line_of(text, "*") + ": data is not valid Base64"},
        {{s1, s2, "--base-manifest", small_manifest},
         "the base manifest " + small_manifest + " describes an image of 12288 bytes"},
        {{s1, s2, "--base-manifest", manifest_8k},
         s1 + ": line " + line_of(read_file(s1), ",\"length\":4096,") +
             ": a change record of 4096 bytes at offset 4096" + not_a_block +
             "8192 bytes (the block size of the base manifest " + manifest_8k + ")"},
        {{s1, "-"}, "-: standard input cannot be a stream to merge"},
        {{s1, fifo}, fifo + ": not a regular file"},
        {{s1, s2, "-o", s2}, "-o " + s2 + " is also read by this merge"},
    };
}

// Every input the merge refuses: exit status 1, a message naming the stream (and the line
// where there is one), nothing on standard output and no output file.
TEST(Refusals, NothingIsWritten) {
    Chain c(5 * 4096 + 1000, 4096);
    const std::string day2 = read_file(c.streams[1]);
    const std::string out = c.dir.file("out.jsonl");
    for (const Refused& k : refused_inputs(c)) {
        SCOPED_TRACE(k.message);
        std::vector<std::string> args = k.args;
        if (std::find(args.begin(), args.end(), "-o") == args.end())
            args.insert(args.end(), {"-o", out});
        const RunResult r = merge(args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("zev-block-merge: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists(out));
        EXPECT_EQ(names_with(c.dir.path(), "out.jsonl").size(), 0u);
    }
    EXPECT_TRUE(read_file(c.streams[1]) == day2) << "-o onto an input changed it";
    EXPECT_EQ(merge({}).exit_code, 2);
    EXPECT_EQ(merge({c.streams[0], "-o", "/dev/full/x"}).exit_code, 1);
}

// A merged stream that does not reach standard output whole ends in failure, never success.
TEST(Output, AFullDiskIsAFailure) {
    Chain c(5 * 4096 + 1000, 4096);
    zev_common::ChildOptions io;
    io.out = zev_common::Stream::file("/dev/full");
    io.err = zev_common::Stream::capture();
    const zev_common::ChildResult r =
        zev_common::run_child({kMerge, c.streams[0], c.streams[1]}, io);
    EXPECT_EQ(r.status.exit_code, 1);
    EXPECT_EQ(r.err, "zev-block-merge: standard output: No space left on device\n");
}

// "-" and the system's names of standard output are standard output: the stream goes there,
// and no file is made beside the name. A terminal is refused (under script(1), which gives
// one), as a usage error.
TEST(Output, DashIsStandardOutputAndATerminalIsRefused) {
    Chain c(5 * 4096 + 1000, 4096);
    const RunResult plain = merge(c.streams);
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    for (const char* name : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
        SCOPED_TRACE(name);
        std::vector<std::string> args = c.streams;
        args.insert(args.end(), {"-o", name});
        const RunResult r = merge(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, plain.out);
        EXPECT_NE(r.err.find(" into standard output: "), std::string::npos) << r.err;
        EXPECT_EQ(names_with(c.dir.path(), "-").size(), 0u);
    }
    if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "needs script(1) for a terminal";
    for (const char* output : {"", " -o -"}) {
        SCOPED_TRACE(output);
        const RunResult r = run_program(
            "/usr/bin/script",
            {"-qec", kMerge + " " + c.streams[0] + " " + c.streams[1] + output, "/dev/null"});
        EXPECT_EQ(r.exit_code, 2) << r.out;
        EXPECT_NE(r.out.find("zev-block-merge: standard output is a terminal; redirect it (> FILE "
                             "or | PROGRAM) or give -o FILE"),
                  std::string::npos)
            << r.out;
    }
}

}  // namespace
