// Shared helpers of the library's tests: objects, connections to the scripted peer and
// the names of the exact log comparison.
#ifndef TESTS_SDK_SDK_FIXTURE_H
#define TESTS_SDK_SDK_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Quillonvarde_sdk_impl.h"
#include "peer.h"
#include "test_common.h"
#include "test_host.h"

namespace sdktest {

// The scripted peer's names, for the tests that use both.
using testpeer::Bytes;
using testpeer::close_reply;
using testpeer::concat;
using testpeer::Conn;
using testpeer::hex;
using testpeer::open_reply;
using testpeer::Peer;
using testpeer::reply_header;
using testpeer::to_hex;
using testpeer::transfer_reply;

using testhost::kDetail;
using testhost::kError;
using testhost::kInfo;
using testhost::kTrace;
using testhost::LogEntry;

// A new object as the host gets it, seen through the implementation class.
CQuillonvardeSDKImpl* make();

// Connects `impl` in plain TCP to the peer and clears the log. Fails the test on error.
void connect_plain(CQuillonvardeSDKImpl* impl, testpeer::Peer& peer);

// The log comparison shared with the other suites; the library's tests compare the
// operations' messages: EXPECT_TRUE(log_is(expected, kOperations)).
using testhost::log_is;
using testhost::operation_log;
constexpr testhost::LogLines kOperations = testhost::LogLines::kOperations;

// A fresh object with the test host installed and the log cleared; after the test its LUN
// devices and connection are released and the scripted peer is joined.
class SdkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(testhost::install(), 0);
        impl = make();
        testhost::clear();
    }
    void TearDown() override {
        impl->CloseLocalLunDevFile();
        impl->DisConnectHXA();
        peer.join();
        CQuillonvardeSDK::DestroyInstance(impl);
    }
    // Everything the library sent, once the connection is closed.
    testpeer::Bytes sent() {
        impl->DisConnectHXA();
        peer.join();
        return peer.received();
    }
    testpeer::Peer peer;
    CQuillonvardeSDKImpl* impl = nullptr;
};

// Header fields of a request as sent.
struct SentHeader {
    uint16_t magic, reserved, operation;
    uint32_t seqNo, length, crc;
};
SentHeader parse_header(const testpeer::Bytes& b, size_t at = 0);
// The checksum the library must put into a header, computed independently of the library.
using testcommon::reference_crc;

}  // namespace sdktest

#endif  // TESTS_SDK_SDK_FIXTURE_H
