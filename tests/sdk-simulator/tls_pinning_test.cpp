// Pinning the service's certificate, through the public interface against the real
// hxa-simulator over TLS: the simulator prints its certificate's fingerprint at start, and an
// object whose pins do not name it refuses the service right after the handshake, before
// anything is sent.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <list>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "Quillonvarde_sdk.h"
#include "sim_harness.h"
#include "test_host.h"

using namespace simtest;
using testhost::kError;
using testhost::kInfo;
using testhost::kTrace;

namespace {

constexpr uint64_t kFlatSize = 1 << 20;
const char* kToken = "pin-token";

struct SdkDeleter {
    void operator()(CQuillonvardeSDK* p) const { CQuillonvardeSDK::DestroyInstance(p); }
};
using Sdk = std::unique_ptr<CQuillonvardeSDK, SdkDeleter>;

// One host's pinning: the lists it passes to PinServerCertificates in turn, with the result
// each gets, and whether ConnectHXA then accepts the simulator. In the lists "RIGHT" stands
// for the simulator's fingerprint as printed, "right" for it in lower case without colons,
// "WRONG" for another fingerprint; anything else is passed as it is.
struct PinCase {
    const char* name;
    std::vector<std::list<std::string>> calls;
    std::vector<int> results;
    bool connects;
};
void PrintTo(const PinCase& c, std::ostream* os) { *os << c.name; }

class TlsPinning : public ::testing::TestWithParam<PinCase> {
  protected:
    void SetUp() override {
        ASSERT_EQ(testhost::install(), 0);
        flat = dir.file("flat.img");
        make_file(flat, kFlatSize, pattern(kFlatSize, 3));
        ASSERT_EQ(sim.start({"--token", kToken, "--disk", "/vm/flat=" + flat, "--tls",
                             "--print-fingerprint"}),
                  "");
        testhost::clear();
    }
    void TearDown() override {
        if (sim.running()) {
            EXPECT_EQ(sim.stop(SIGTERM), 0) << sim.log();
        }
        if (HasFailure()) std::cerr << "simulator log:\n" << sim.log();
    }

    std::list<std::string> expand(const std::list<std::string>& pins) const {
        std::string plain;
        for (char c : sim.fingerprint())
            if (c != ':') plain += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        // The same fingerprint with its first byte changed.
        std::string wrong = sim.fingerprint();
        wrong[0] = wrong[0] == 'A' ? 'B' : 'A';
        std::list<std::string> out;
        for (const std::string& p : pins)
            out.push_back(p == "RIGHT"   ? sim.fingerprint()
                          : p == "right" ? plain
                          : p == "WRONG" ? wrong
                                         : p);
        return out;
    }

    TempDir dir;
    std::string flat;
    Simulator sim{dir.path()};
};

}  // namespace

TEST_P(TlsPinning, ConnectsOnlyToAPinnedCertificate) {
    const PinCase& k = GetParam();
    const std::string fingerprint = sim.fingerprint();
    ASSERT_TRUE(std::regex_match(fingerprint, std::regex("([0-9A-F]{2}:){31}[0-9A-F]{2}")))
        << fingerprint;

    Sdk s(CQuillonvardeSDK::CreateInstance());
    ASSERT_EQ(k.calls.size(), k.results.size());
    for (size_t i = 0; i < k.calls.size(); ++i)
        EXPECT_EQ(CQuillonvardeSDK::PinServerCertificates(s.get(), expand(k.calls[i])),
                  k.results[i])
            << "call " << i << "\n"
            << testhost::dump();
    testhost::clear();

    unsigned int handle = 0;
    if (!k.connects) {
        EXPECT_EQ(s->ConnectHXA("127.0.0.1", sim.port(), kToken, 1), 1);
        const std::vector<testhost::LogEntry> log = testhost::normalized_entries();
        EXPECT_TRUE(testhost::logged(kError,
                                     "ConnectHXA: the service's certificate has SHA-256 "
                                     "fingerprint " +
                                         fingerprint + ", which is not pinned  (line #)"))
            << testhost::dump();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().level, kTrace);
        EXPECT_EQ(log.back().text, "leave CQuillonvardeSDKImpl::ConnectHXA: NOK");
        EXPECT_TRUE(testhost::line_numbers_point_at_source());
        // The refused connection carries nothing, not even an open request.
        EXPECT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READONLY, handle, TRANS_LAN), 1);
        s->DisConnectHXA();
        s.reset();
        // Pins belong to their object and go with it: a new object takes the simulator.
        s.reset(CQuillonvardeSDK::CreateInstance());
    }
    testhost::clear();
    ASSERT_EQ(s->ConnectHXA("127.0.0.1", sim.port(), kToken, 1), 0) << testhost::dump();
    const bool pinned =
        k.connects && !k.calls.empty() && k.results.back() == 0 && !k.calls.back().empty();
    EXPECT_EQ(testhost::logged(kInfo,
                               "ConnectHXA: the service's certificate has the pinned "
                               "SHA-256 fingerprint " +
                                   fingerprint),
              pinned)
        << testhost::dump();
    // The certificate's fingerprint is there to show, pinned or not.
    std::string shown;
    EXPECT_EQ(CQuillonvardeSDK::ServerCertificateFingerprint(s.get(), shown), 0);
    EXPECT_EQ(shown, fingerprint);
    ASSERT_EQ(s->OpenDisk({}, "/vm/flat", OPEN_READONLY, handle, TRANS_LAN), 0) << testhost::dump();
    Bytes data(4096);
    unsigned long long size = data.size();
    ASSERT_EQ(s->ReadDisk(handle, 0, data.size(), reinterpret_cast<char*>(data.data()), size), 0);
    EXPECT_EQ(size, data.size());
    const Bytes image = pattern(kFlatSize, 3);
    EXPECT_TRUE(data == Bytes(image.begin(), image.begin() + 4096));
    EXPECT_EQ(s->CloseDisk(handle), 0);
    s->DisConnectHXA();
    shown = "unchanged";
    EXPECT_EQ(CQuillonvardeSDK::ServerCertificateFingerprint(s.get(), shown), 1);
    EXPECT_EQ(shown, "unchanged");

    // The simulator saw one open: that of the connection it was allowed to serve.
    ASSERT_EQ(sim.stop(SIGTERM), 0);
    const std::string log = sim.log();
    size_t opens = 0;
    for (size_t at = log.find("LAN open"); at != std::string::npos;
         at = log.find("LAN open", at + 1))
        ++opens;
    EXPECT_EQ(opens, 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Pins, TlsPinning,
    ::testing::Values(
        PinCase{"none", {}, {}, true}, PinCase{"wrong", {{"WRONG"}}, {0}, false},
        PinCase{"wrong_and_right_plain_lower", {{"WRONG", "right"}}, {0}, true},
        PinCase{"right_as_printed", {{"RIGHT"}}, {0}, true},
        PinCase{"empty_list_removes", {{"WRONG"}, {}}, {0, 0}, true},
        // A list with a malformed entry is refused whole and leaves the pins as they were.
        PinCase{"malformed_leaves_pins", {{"WRONG"}, {"right", "zz"}}, {0, 1}, false},
        PinCase{"malformed_texts",
                {{std::string(63, 'a')},
                 {std::string(65, 'a')},
                 {std::string(64, 'g')},
                 {"sha256 Fingerprint=" + std::string(64, 'a')},
                 {std::string(64, 'a') + ":"},
                 {"AA::" + std::string(62, 'a')},
                 {""}},
                {1, 1, 1, 1, 1, 1, 1},
                true}),
    [](const ::testing::TestParamInfo<PinCase>& info) { return std::string(info.param.name); });

// A null object takes no pins and has no certificate to show.
TEST(TlsPinningObject, NullObjectIsRefused) {
    ASSERT_EQ(testhost::install(), 0);
    EXPECT_EQ(CQuillonvardeSDK::PinServerCertificates(nullptr, {std::string(64, 'a')}), 1);
    std::string shown;
    EXPECT_EQ(CQuillonvardeSDK::ServerCertificateFingerprint(nullptr, shown), 1);
}
