// Pieces of the simulator checked on their own: the header checksum, the command-line
// parser and the address-map layout of LUN-backed disks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk_store.h"
#include "hxa_checksum.h"
#include "options.h"
#include "sim_harness.h"

using namespace hxasim;

TEST(SimulatorChecksum, MatchesTheProtocolCheckValues) {
    EXPECT_EQ(hxa::header_crc("123456789", 9), 0x2340524Fu);
    EXPECT_EQ(hxa::header_crc("abc", 3), 0xAFFEA479u);
    EXPECT_EQ(hxa::header_crc("", 0), 0xFFFFFFFFu);
    const unsigned char open_header[14] = {0x35, 0x35, 0, 0, 1, 0, 0, 0, 0, 0, 0x82, 0x01, 0, 0};
    EXPECT_EQ(hxa::header_crc(open_header, sizeof open_header), 0x42FD704Bu);
}

namespace {

bool parse(std::vector<std::string> args, Options& o, std::string& error) {
    args.insert(args.begin(), "hxa-simulator");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return parse_options(static_cast<int>(argv.size()), argv.data(), o, error);
}

}  // namespace

TEST(SimulatorOptions, ParsesDisksLunsAndSizes) {
    Options o;
    std::string error;
    std::string w1(32, 'A'), w2 = "000102030405060708090a0b0c0d0e0f";
    ASSERT_TRUE(parse({"--port", "0", "--token", "t", "--read-only-token", "r", "--disk",
                       "/a=img=with=equals", "--lun", w1 + "=/x:y/lun.img:64M", "--lun",
                       w2 + "=/l2", "--san-disk", "/s=2G:" + w1 + "," + w2, "--chunk-size", "64K"},
                      o, error))
        << error;
    ASSERT_EQ(o.flat_disks.size(), 1u);
    EXPECT_EQ(o.flat_disks[0].path, "/a");
    EXPECT_EQ(o.flat_disks[0].image, "img=with=equals");
    ASSERT_EQ(o.luns.size(), 2u);
    EXPECT_EQ(o.luns[0].wwn_hex, std::string(32, 'a')) << "identifiers are kept in lower case";
    EXPECT_EQ(o.luns[0].file, "/x:y/lun.img");
    EXPECT_EQ(o.luns[0].create_size, 64u << 20);
    EXPECT_EQ(o.luns[1].file, "/l2");
    EXPECT_EQ(o.luns[1].create_size, 0u);
    ASSERT_EQ(o.lun_disks.size(), 1u);
    EXPECT_EQ(o.lun_disks[0].size, 2ull << 30);
    EXPECT_EQ(o.lun_disks[0].wwns, (std::vector<std::string>{std::string(32, 'a'), w2}));
    EXPECT_EQ(o.chunk_size, 64u << 10);
    ASSERT_EQ(o.tokens.size(), 2u);
    EXPECT_TRUE(o.tokens[0].writable);
    EXPECT_FALSE(o.tokens[1].writable);
}

TEST(SimulatorOptions, ParsesFaultsAndKeepsTheOrderOfRepeatedOptions) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({}, o, error)) << error;
    EXPECT_EQ(o.faults.seed, 1u);
    EXPECT_EQ(o.faults.drop_after, 0u) << "no cuts by default";
    EXPECT_EQ(o.faults.io_error_rate, 0);
    EXPECT_FALSE(o.faults.stall_after);
    ASSERT_TRUE(parse({"--read-only-token",
                       "r",
                       "--token=t",
                       "--read-only-token",
                       "s",
                       "--quiet",
                       "--verbose",
                       "--drop-after",
                       "1M",
                       "--drop-jitter",
                       "64K",
                       "--drop-mode",
                       "reset",
                       "--io-error-rate",
                       "0.25",
                       "--reply-delay",
                       ".5",
                       "--stall-after",
                       "0",
                       "--fault-limit",
                       "3",
                       "--fault-seed",
                       "18446744073709551615"},
                      o, error))
        << error;
    ASSERT_EQ(o.tokens.size(), 3u);
    EXPECT_EQ(o.tokens[0].token, "r");
    EXPECT_FALSE(o.tokens[0].writable);
    EXPECT_EQ(o.tokens[1].token, "t");
    EXPECT_TRUE(o.tokens[1].writable);
    EXPECT_EQ(o.tokens[2].token, "s");
    EXPECT_EQ(o.verbosity, Verbosity::kVerbose) << "the last of --quiet and --verbose wins";
    EXPECT_EQ(o.faults.drop_after, 1u << 20);
    EXPECT_EQ(o.faults.drop_jitter, 64u << 10);
    EXPECT_EQ(o.faults.drop_mode, DropMode::kReset);
    EXPECT_EQ(o.faults.io_error_rate, 0.25);
    EXPECT_EQ(o.faults.reply_delay_ms, 0.5);
    EXPECT_EQ(o.faults.stall_after, 0u);
    EXPECT_EQ(o.faults.fault_limit, 3u);
    EXPECT_EQ(o.faults.seed, UINT64_MAX);
    ASSERT_TRUE(parse({"--port", "1", "-h"}, o, error)) << error;
    EXPECT_TRUE(o.help);
}

TEST(SimulatorOptions, RefusesMalformedValues) {
    Options o;
    std::string error;
    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--address", "::1"},
             {"--address", "192.168.0.1"},
             {"--port", "-1"},
             {"--port", "1K"},
             {"--token", std::string(128, 't')},
             {"--disk", "no-equals"},
             {"--disk", "=img"},
             {"--lun", std::string(31, '0') + "=f"},
             {"--lun", std::string(32, 'g') + "=f"},
             {"--lun", std::string(32, '0') + "=f:0"},
             {"--san-disk", "/s=0:" + std::string(32, '0')},
             {"--san-disk", "/s=1M:" + std::string(32, '0') + ","},
             {"--chunk-size", "6K"},
             {"--chunk-size", "2G"},
             {"--max-extents", "0"},
             {"--max-connections", "5000"},
             {"--token"},
             {"--io-error-rate", "-0.1"},
             {"--io-error-rate", "nan"},
             {"--reply-delay", "inf"},
             {"--drop-after", "1X"},
             {"--drop-after", "4K", "--drop-jitter", "5K"},
             {"--drop-mode", "reset"},
             {"--fault-seed", "1K"},
             {"--stall-after", "-1"},
             {"--fault-limit", "x"},
             {"--print-fingerprint"},
             {"positional"}}) {
        EXPECT_FALSE(parse(bad, o, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
    // Sizes go through the programs' one parser: overflow is refused, the largest sizes pass,
    // and so do the binary units; the ambiguous ones are refused.
    const std::string wwn(32, '0');
    for (const char* size :
         {"18446744073709551616", "17179869184G", "64MB", "1kb", "2.5M", "0x100000", "-1M"}) {
        EXPECT_FALSE(parse({"--san-disk", std::string("/s=") + size + ":" + wwn}, o, error))
            << size;
        EXPECT_NE(error.find("--san-disk: "), std::string::npos) << error;
    }
    for (const char* size : {"16383G", "16M", "16MiB", "16777216", "1t"}) {
        EXPECT_TRUE(parse({"--san-disk", std::string("/s=") + size + ":" + wwn}, o, error))
            << error;
    }
    EXPECT_TRUE(parse({"--san-disk", "/s=16383G:" + wwn}, o, error)) << error;
    EXPECT_EQ(o.lun_disks.at(0).size, 16383ull << 30);
}

TEST(SimulatorDiskStore, MapsSpreadChunksRoundRobinAboveTwoMiBAndMergeHoles) {
    simtest::TempDir dir;
    DiskStore store(1 << 20, 100);
    std::string error;
    store.add_token({"t", true});
    store.add_token({"r", false});
    std::string a(32, 'a'), b(32, 'b');
    ASSERT_TRUE(store.add_lun({a, dir.file("a"), 16u << 20}, error)) << error;
    ASSERT_TRUE(store.add_lun({b, dir.file("b"), 16u << 20}, error)) << error;
    ASSERT_TRUE(store.add_lun_disk({"/d", 10u << 20, {a, b}}, error)) << error;
    uint32_t rw = 0, ro = 0;
    std::string why;
    ASSERT_EQ(store.open(1, Transport::kSan, "/d", "t", 0, rw, why), 0);
    ASSERT_EQ(store.open(1, Transport::kSan, "/d", "r", 0, ro, why), 0);

    // A read-only map of an empty disk: one hole for the whole range.
    std::vector<Extent> e;
    ASSERT_EQ(store.prepare(1, Transport::kSan, TransferKind::kMap, ro, 0, 10u << 20, e, why), 0);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].lun, -1);
    EXPECT_EQ(e[0].len, 10u << 20);

    // Three chunks written from the middle of the first: alternate LUNs, from 2 MiB up.
    ASSERT_EQ(
        store.prepare(1, Transport::kSan, TransferKind::kMap, rw, 512 << 10, 2u << 20, e, why), 0);
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].lun, 0);
    EXPECT_EQ(e[0].pos, (2u << 20) + (512 << 10));
    EXPECT_EQ(e[0].len, 512u << 10);
    EXPECT_EQ(e[1].lun, 1);
    EXPECT_EQ(e[1].pos, 2u << 20);
    EXPECT_EQ(e[2].lun, 0);
    EXPECT_EQ(e[2].pos, 3u << 20);
    EXPECT_EQ(e[2].len, 512u << 10);

    // Read-only view: the three chunks, then one merged hole.
    ASSERT_EQ(store.prepare(1, Transport::kSan, TransferKind::kMap, ro, 0, 10u << 20, e, why), 0);
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[3].lun, -1);
    EXPECT_EQ(e[3].len, 7u << 20);

    // The handle of another connection, the other transport, closing twice.
    EXPECT_EQ(store.prepare(2, Transport::kSan, TransferKind::kMap, rw, 0, 1, e, why), 5);
    EXPECT_EQ(store.prepare(1, Transport::kLan, TransferKind::kRead, rw, 0, 1, e, why), 1);
    EXPECT_EQ(store.close(1, Transport::kSan, rw, why), 0);
    EXPECT_EQ(store.close(1, Transport::kSan, rw, why), 5);
    EXPECT_EQ(store.close_all(1), 1u);
}
