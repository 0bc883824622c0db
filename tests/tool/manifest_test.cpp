// Tests of block manifests and zev-block-manifest: the file's bytes against a manifest built
// here from OpenSSL's one-shot SHA256, what a reader refuses, and the program's output, exit
// status and messages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "block-manifest.h"
#include "tool_test_support.h"

namespace {

using namespace testcommon;

const std::string kManifestTool = ZEV_MANIFEST_PATH;

std::string sha256(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string le(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

std::string hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) out += {kHex[c >> 4], kHex[c & 0xF]};
    return out;
}

// The manifest of `image`, written here from the layout.
std::string manifest_bytes(const std::string& image, uint64_t block_size) {
    std::string list;
    for (uint64_t off = 0; off < image.size(); off += block_size) {
        list += sha256(image.substr(off, block_size));
    }
    std::string file = "ZEVBMAN\n" + le(1, 4) + le(block_size, 4) + le(image.size(), 8) +
                       le(list.size() / 32, 8) + list + sha256(list);
    return file + sha256(file);
}

std::string list_digest_hex(const std::string& manifest) {
    return hex(manifest.substr(manifest.size() - 64, 32));
}

RunResult run_manifest(const std::vector<std::string>& args) {
    return run_program(kManifestTool, args);
}

// ---------------------------------------------------------------------------------------------
// The bytes written

struct BytesCase {
    const char* name;
    uint64_t size;
    uint64_t block_size;
    const char* block_size_option;  // as typed; null: the default
};

std::ostream& operator<<(std::ostream& out, const BytesCase& c) { return out << c.name; }

class ManifestBytes : public testing::TestWithParam<BytesCase> {};

TEST_P(ManifestBytes, EqualTheLayoutComputedIndependentlyWithAnyNumberOfThreads) {
    const BytesCase& c = GetParam();
    TempDir dir;
    const std::string image = pattern<std::string>(c.size, c.size + 7);
    write_file(dir.file("disk.img"), image);
    const std::string expected = manifest_bytes(image, c.block_size);
    // Links at the names a temporary file once had are never written through.
    write_file(dir.file("victim"), "victim");
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("m.tmp").c_str()), 0);
    const mode_t umask_before = umask(022);
    for (const char* threads : {"1", "2", "3", "0"}) {
        std::vector<std::string> args = {dir.file("disk.img"), "-o", dir.file("m"), "--threads",
                                         threads};
        if (c.block_size_option != nullptr) {
            args.insert(args.end(), {"--block-size", c.block_size_option});
        }
        const RunResult r = run_manifest(args);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(zev_test::mask_seconds(r.out),
                  "wrote the manifest of " + dir.file("disk.img") + " (" + std::to_string(c.size) +
                      " bytes, " + std::to_string((c.size + c.block_size - 1) / c.block_size) +
                      " blocks of " + std::to_string(c.block_size) + " bytes, list digest " +
                      list_digest_hex(expected) + ") to " + dir.file("m") + " in T s\n");
        EXPECT_TRUE(read_file(dir.file("m")) == expected) << "threads " << threads;
        struct stat st = {};
        ASSERT_EQ(stat(dir.file("m").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << "a manifest is private";
        EXPECT_EQ(read_file(dir.file("victim")), "victim");
    }
    umask(umask_before);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ManifestBytes,
    testing::Values(BytesCase{"Empty", 0, 65536, nullptr}, BytesCase{"OneByte", 1, 4096, "4K"},
                    BytesCase{"WholeBlocks4K", 3 * 4096, 4096, "4096"},
                    BytesCase{"ShorterLastBlock64K", 9 * 65536 + 123, 65536, nullptr},
                    BytesCase{"SeveralChunks4K", (9 << 20) + 5, 4096, "4k"},
                    BytesCase{"ShorterLastBlock1M", (2 << 20) + 5, 1 << 20, "1M"},
                    BytesCase{"OddBlockSize", 100000, 1000, "1000"}),
    [](const testing::TestParamInfo<BytesCase>& info) { return info.param.name; });

TEST(ManifestOutput, DashWritesTheSameBytesToStandardOutputAndTheSummaryToStandardError) {
    TempDir dir;
    const std::string image = pattern<std::string>(200000, 3);
    write_file(dir.file("disk.img"), image);
    const RunResult r = run_manifest({dir.file("disk.img"), "-o", "-"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.out == manifest_bytes(image, 65536));
    EXPECT_EQ(zev_test::mask_seconds(r.err),
              "zev-block-manifest: wrote the manifest of " + dir.file("disk.img") +
                  " (200000 bytes, 4 blocks of 65536 bytes, list digest " +
                  list_digest_hex(manifest_bytes(image, 65536)) + ") to standard output in T s\n");
}

TEST(ManifestOutput, ABlockDeviceGivesTheManifestOfItsBytes) {
    TempDir dir;
    const std::string image = pattern<std::string>(1 << 20, 6);
    write_file(dir.file("disk.img"), image);
    LoopDevice loop(dir.file("disk.img"));
    if (loop.device().empty()) GTEST_SKIP() << "no loop device: " << loop.error();
    const RunResult r = run_manifest({loop.device(), "-o", dir.file("m")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("m")) == manifest_bytes(image, 65536));
    const RunResult check = run_manifest({"--verify", dir.file("m"), loop.device()});
    EXPECT_EQ(check.exit_code, 0) << check.err;
}

TEST(ManifestOutput, AReadFailureIsReportedAndLeavesTheManifestAsItWas) {
    TempDir dir;
    write_file(dir.file("disk.img"), pattern<std::string>(10 << 20, 8));
    const int fd = open(dir.file("disk.img").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    zev::Manifest manifest;
    std::string error;
    ASSERT_TRUE(manifest.reset(100, 10, error));
    EXPECT_FALSE(zev::hash_image(fd, "disk", 65536, 2, manifest, error));
    close(fd);
    EXPECT_TRUE(error == "disk: read at offset 0 failed: Bad file descriptor" ||
                error == "disk: read at offset 4194304 failed: Bad file descriptor")
        << error;
    EXPECT_EQ(manifest.image_size(), 100u);
    EXPECT_EQ(manifest.block_count(), 10u);
}

// ---------------------------------------------------------------------------------------------
// --verify

struct VerifyCase {
    const char* name;
    uint64_t size;                 // of the image the manifest describes
    std::vector<uint64_t> flips;   // offsets of bytes changed in the image checked
    uint64_t checked_size;         // of the image checked
    std::vector<std::string> err;  // lines on standard error, "IMG" for the image's path
    int exit_code;
};

std::ostream& operator<<(std::ostream& out, const VerifyCase& c) { return out << c.name; }

class Verify : public testing::TestWithParam<VerifyCase> {};

TEST_P(Verify, NamesTheDifferingBlocksByOffsetWithTheExitStatusOfCmp) {
    const VerifyCase& c = GetParam();
    TempDir dir;
    std::string image = pattern<std::string>(c.size, 11);
    const std::string manifest = manifest_bytes(image, 4096);
    write_file(dir.file("m"), manifest);
    for (uint64_t offset : c.flips) image[offset] ^= 0x20;
    image.resize(c.checked_size, 'x');
    const std::string img = dir.file("disk.img");
    write_file(img, image);

    const RunResult r = run_manifest({"--verify", dir.file("m"), img});
    EXPECT_EQ(r.exit_code, c.exit_code);
    std::string err;
    for (const std::string& line : c.err) {
        err += "zev-block-manifest: " +
               (line.compare(0, 3, "IMG") == 0 ? img + line.substr(3) : line) + "\n";
    }
    EXPECT_EQ(r.err, err);
    const std::string match = img + " matches " + dir.file("m") + " (" +
                              std::to_string((c.size + 4095) / 4096) + " blocks, list digest " +
                              list_digest_hex(manifest) + ")\n";
    EXPECT_EQ(r.out, c.exit_code == 0 ? match : "");
}

std::vector<uint64_t> every_block_up_to(uint64_t blocks) {
    std::vector<uint64_t> offsets;
    for (uint64_t i = 0; i < blocks; ++i) offsets.push_back(i * 4096 + 5);
    return offsets;
}

// The lines naming the first `blocks` blocks, then `more`.
std::vector<std::string> first_blocks_differ(uint64_t blocks, const std::string& more = "") {
    std::vector<std::string> lines;
    for (uint64_t i = 0; i < blocks; ++i) {
        lines.push_back("IMG: block at offset " + std::to_string(i * 4096) +
                        " (4096 bytes) differs");
    }
    if (!more.empty()) lines.push_back(more);
    return lines;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Images, Verify,
    testing::Values(
        VerifyCase{"Same", 100000, {}, 100000, {}, 0},
        VerifyCase{"EmptySame", 0, {}, 0, {}, 0},
        VerifyCase{"OneByte", 100000, {70000}, 100000,
                   {"IMG: block at offset 69632 (4096 bytes) differs"}, 1},
        VerifyCase{"ShorterLastBlock", 100000, {99999, 0}, 100000,
                   {"IMG: block at offset 0 (4096 bytes) differs",
                    "IMG: block at offset 98304 (1696 bytes) differs"}, 1},
        VerifyCase{"TenNamed", 100000, every_block_up_to(10), 100000, first_blocks_differ(10), 1},
        VerifyCase{"TwelveDiffer", 100000, every_block_up_to(12), 100000,
                   first_blocks_differ(
                       10, "IMG: and 2 more differing blocks (12 of 25 blocks differ)"), 1},
        VerifyCase{"Shorter", 100000, {}, 99999,
                   {"IMG: size 99999 bytes, the manifest describes 100000 bytes"}, 1},
        VerifyCase{"Longer", 100000, {}, 100001,
                   {"IMG: size 100001 bytes, the manifest describes 100000 bytes"}, 1}),
    [](const testing::TestParamInfo<VerifyCase>& info) { return info.param.name; });
// clang-format on

// ---------------------------------------------------------------------------------------------
// Manifests a reader refuses

// Every byte flipped, every shorter length and a trailing byte: refused by the library with a
// reason, leaving the manifest it had.
TEST(ManifestLoad, RefusesEveryFlippedByteEveryTruncationAndTrailingBytes) {
    TempDir dir;
    const std::string good = manifest_bytes(pattern<std::string>(10000, 5), 4096);
    zev::Manifest kept;
    std::string error;
    write_file(dir.file("good"), good);
    ASSERT_TRUE(kept.load(dir.file("good"), error)) << error;
    const std::string digest = kept.list_digest_hex();
    ASSERT_EQ(digest, list_digest_hex(good));

    std::vector<std::string> damaged;
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bytes = good;
        bytes[i] ^= 0x01;
        damaged.push_back(bytes);
    }
    for (size_t n = 0; n < good.size(); ++n) damaged.push_back(good.substr(0, n));
    damaged.push_back(good + '\0');
    for (const std::string& bytes : damaged) {
        write_file(dir.file("bad"), bytes);
        error.clear();
        EXPECT_FALSE(kept.load(dir.file("bad"), error)) << hex(bytes);
        EXPECT_EQ(error.compare(0, dir.file("bad").size() + 2, dir.file("bad") + ": "), 0) << error;
    }
    EXPECT_EQ(kept.list_digest_hex(), digest);
    EXPECT_EQ(kept.image_size(), 10000u);
}

struct RefusedCase {
    const char* name;
    std::string bytes;   // of the manifest file
    std::string reason;  // after "<manifest path>: "
};

std::ostream& operator<<(std::ostream& out, const RefusedCase& c) { return out << c.name; }

std::string flipped(std::string bytes, size_t at) {
    bytes[at] ^= 0x40;
    return bytes;
}

// A manifest of 3 blocks of 4 KiB whose header says otherwise, with both digests recomputed
// so that only the field is wrong.
std::string with_header(uint32_t version, uint32_t block_size, uint64_t image_size,
                        uint64_t count) {
    const std::string list = manifest_bytes(std::string(3 * 4096, 'z'), 4096).substr(32, 96);
    const std::string file = "ZEVBMAN\n" + le(version, 4) + le(block_size, 4) + le(image_size, 8) +
                             le(count, 8) + list + sha256(list);
    return file + sha256(file);
}

const std::string kGood = manifest_bytes(pattern<std::string>(3 * 4096, 9), 4096);

class RefusedManifest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedManifest, VerifyExitsWithStatus2AndTheReason) {
    const RefusedCase& c = GetParam();
    TempDir dir;
    write_file(dir.file("disk.img"), pattern<std::string>(3 * 4096, 9));
    write_file(dir.file("m"), c.bytes);
    const RunResult r = run_manifest({"--verify", dir.file("m"), dir.file("disk.img")});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "zev-block-manifest: " + dir.file("m") + ": " + c.reason + "\n");
    EXPECT_EQ(r.out, "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Reasons, RefusedManifest, testing::Values(
    RefusedCase{"Empty", "", "too short to be a block manifest (0 bytes; the smallest has 96)"},
    RefusedCase{"HeaderCut", kGood.substr(0, 20),
                "too short to be a block manifest (20 bytes; the smallest has 96)"},
    RefusedCase{"WrongMagic", flipped(kGood, 3), "not a block manifest (wrong magic)"},
    RefusedCase{"Version2", with_header(2, 4096, 3 * 4096, 3),
                "format version 2, this program reads version 1"},
    RefusedCase{"BlockSize0", with_header(1, 0, 3 * 4096, 3),
                "block size 0 out of range (1 to 2113929216 bytes)"},
    RefusedCase{"BlockSizeTooLarge", with_header(1, 0x7E000001u, 3 * 4096, 3),
                "block size 2113929217 out of range (1 to 2113929216 bytes)"},
    RefusedCase{"CountNotTheSize", with_header(1, 4096, 3 * 4096 + 1, 3),
                "block count 3 does not match 12289 bytes in blocks of 4096 (4 blocks)"},
    RefusedCase{"HugeCountShortFile", with_header(1, 1, uint64_t(1) << 62, uint64_t(1) << 62),
                "truncated: 192 bytes, 4611686018427387904 blocks need more than 2^64"},
    RefusedCase{"Truncated", kGood.substr(0, 191), "truncated: 191 bytes, 3 blocks need 192"},
    RefusedCase{"TrailingBytes", kGood + "\n", "trailing bytes: 193 bytes, 3 blocks need 192"},
    RefusedCase{"BlockDigestFlipped", flipped(kGood, 32 + 40),
                "damaged: the list digest does not match the block digests"},
    RefusedCase{"ListDigestFlipped", flipped(kGood, 32 + 96 + 1),
                "damaged: the list digest does not match the block digests"},
    RefusedCase{"FileCheckFlipped", flipped(kGood, 191),
                "damaged: the file check does not match the bytes before it"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });
// clang-format on

// ---------------------------------------------------------------------------------------------
// Trouble: exit status 2 and a message, nothing written

struct TroubleCase {
    const char* name;
    std::vector<std::string> args;  // "D/" stands for the test's folder
    std::string err;                // standard error, "D/" likewise
};

std::ostream& operator<<(std::ostream& out, const TroubleCase& c) { return out << c.name; }

class Trouble : public testing::TestWithParam<TroubleCase> {};

TEST_P(Trouble, ExitsWithStatus2AndLeavesTheFilesAsTheyWere) {
    const TroubleCase& c = GetParam();
    TempDir dir;
    auto in_dir = [&](std::string text) {
        const std::string folder = dir.path() + "/";  // may itself hold "D/"
        for (size_t at = text.find("D/"); at != std::string::npos;
             at = text.find("D/", at + folder.size())) {
            text.replace(at, 2, folder);
        }
        return text;
    };
    const std::string image = pattern<std::string>(100000, 4);
    write_file(dir.file("disk.img"), image);
    write_file(dir.file("m"), manifest_bytes(image, 65536));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);  // refused, not waited on
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(in_dir(arg));
    const RunResult r = run_manifest(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, zev_test::said("zev-block-manifest", in_dir(c.err)));
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_file(dir.file("disk.img")) == image);
    EXPECT_TRUE(read_file(dir.file("m")) == manifest_bytes(image, 65536));
    EXPECT_FALSE(exists(dir.file("new")));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Trouble, testing::Values(
    TroubleCase{"OtherBlockSize", {"--verify", "D/m", "D/disk.img", "--block-size", "4K"},
                "--block-size 4096: the manifest D/m has blocks of 65536 bytes\n"},
    TroubleCase{"MissingManifest", {"--verify", "D/none", "D/disk.img"},
                "D/none: cannot open: No such file or directory\n"},
    TroubleCase{"MissingImage", {"--verify", "D/m", "D/none"},
                "D/none: cannot open: No such file or directory\n"},
    TroubleCase{"ImageIsAFolder", {"D/", "-o", "D/new"},
                "D/: a directory, not a regular file or a block device\n"},
    TroubleCase{"ImageIsAPipe", {"D/fifo", "-o", "D/new"},
                "D/fifo: a pipe, not a regular file or a block device\n"},
    TroubleCase{"OutputIsTheImage", {"D/disk.img", "-o", "D/disk.img"},
                "D/disk.img: is the image itself; the manifest goes to another file\n"},
    TroubleCase{"OutputInAMissingFolder", {"D/disk.img", "-o", "D/none/new"},
                "D/none/new: cannot create D/none/new.XXXXXX: No such file or directory\n"},
    TroubleCase{"BlockSize0", {"D/disk.img", "-o", "D/new", "--block-size", "0"},
                "--block-size: '0' is 0 bytes, not a whole number from 1 to 2113929216\n"
                "run 'zev-block-manifest --help' for the options\n"},
    TroubleCase{"BlockSizeTooLarge", {"D/disk.img", "-o", "D/new", "--block-size", "2113929217"},
                "--block-size: '2113929217' is 2113929217 bytes, not a whole number from 1 to "
                "2113929216\n"
                "run 'zev-block-manifest --help' for the options\n"},
    TroubleCase{"NeitherOutputNorVerify", {"D/disk.img"},
                "one of -o FILE and --verify FILE is required\n"
                "run 'zev-block-manifest --help' for the options\n"}),
    [](const testing::TestParamInfo<TroubleCase>& info) { return info.param.name; });
// clang-format on

}  // namespace
