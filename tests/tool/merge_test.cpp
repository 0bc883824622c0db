// zev-block-merge as a user runs it: chains of streams made by the real diff tool, merged by the
// real program, checked against the diff tool's stream of the first and last images and by the
// real zev-block-apply; and every input it refuses, with nothing written.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

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

// Names in `dir` that start with `prefix`.
std::vector<std::string> names_with(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0) found.push_back(e->d_name);
        closedir(d);
    }
    return found;
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

class MergeChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(MergeChain, WithTheBaseManifestItIsTheDiffOfFirstAndLastAndWithoutItAppliesToTheLast) {
    Chain c(GetParam().size, GetParam().block);
    const std::string manifest = c.manifest_of(c.images.front(), c.block);
    std::vector<std::string> args = c.streams;
    args.insert(args.end(), {"--base-manifest", manifest});
    const RunResult merged = merge(args);
    ASSERT_EQ(merged.exit_code, 0) << merged.err;
    EXPECT_EQ(merged.out, diff_files(c.images.front(), c.images.back(), c.block));
    EXPECT_NE(merged.err.find("1 block(s) equal to the base left out"), std::string::npos)
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
}

INSTANTIATE_TEST_SUITE_P(Chains, MergeChain,
                         ::testing::Values(ChainCase{"short_last_block", 5 * 4096 + 1000, 4096},
                                           ChainCase{"blocks_of_64K", 1048576 + 12345, 65536}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every input the merge refuses: exit status 1, a message naming the stream (and the line
// where there is one), nothing on standard output and no output file.
TEST(MergeRefusals, AreRefusedBeforeAnythingIsWritten) {
    Chain c(5 * 4096 + 1000, 4096);
    const std::string& s1 = c.streams[0];
    const std::string& s2 = c.streams[1];
    // The same days in blocks of 8 KiB, an image of another size, a cut and a damaged stream.
    const std::string other_blocks = c.dir.file("8k.jsonl");
    write_file(other_blocks, diff_files(c.images[1], c.images[2], 8192));
    write_file(c.dir.file("small.img"), mixed_content(4096 * 3, 5));
    write_file(c.dir.file("small2.img"), mixed_content(4096 * 3, 6));
    const std::string other_size = c.dir.file("small.jsonl");
    write_file(other_size, diff_files(c.dir.file("small.img"), c.dir.file("small2.img"), 4096));
    std::string text = read_file(s2);
    const std::string cut = c.dir.file("cut.jsonl");
    write_file(cut, text.substr(0, text.rfind('\n', text.size() - 2) + 1));
    const std::string damaged = c.dir.file("damaged.jsonl");
    // A bad character in the Base64 text of the first change record.
    const size_t data = text.find("\"data\":\"", text.find(",\"length\":4096,"));
    text[data + 10] = '*';
    write_file(damaged, text);
    const std::string damaged_line =
        std::to_string(std::count(text.begin(), text.begin() + static_cast<long>(data), '\n') + 1);
    const std::string fifo = c.dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string small_manifest = c.manifest_of(c.dir.file("small.img"), 4096);
    const std::string out = c.dir.file("out.jsonl");

    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{s1, other_size},
         other_size + " describes an image of 12288 bytes, " + s1 + " one of 21480 bytes"},
        {{s1, other_blocks}, other_blocks + ": "},
        {{s1, cut}, cut + ": its last line is not a final record"},
        {{s1, damaged}, damaged + ": line " + damaged_line + ": data is not valid Base64"},
        {{s1, s2, "--base-manifest", small_manifest},
         "the base manifest " + small_manifest + " describes an image of 12288 bytes"},
        {{s1, s2, "--base-manifest", c.manifest_of(c.images[0], 8192)},
         " bytes (the block size of the base manifest): streams of different block sizes"},
        {{s1, "-"}, "-: standard input cannot be a stream to merge"},
        {{s1, fifo}, fifo + ": not a regular file"},
        {{s1, s2, "-o", s2}, "-o " + s2 + " is also read by this merge"},
    };
    for (const Case& k : cases) {
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
    EXPECT_NE(merge({s1, other_blocks}).err.find("different block sizes"), std::string::npos);
    EXPECT_EQ(read_file(s2).size(), read_file(damaged).size()) << "-o onto an input changed it";
    EXPECT_EQ(merge({}).exit_code, 2);
    EXPECT_EQ(merge({s1, s2, "-o", "/dev/full/x"}).exit_code, 1);
}

}  // namespace
