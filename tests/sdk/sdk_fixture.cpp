#include "sdk_fixture.h"

namespace sdktest {

CQuillonvardeSDKImpl* make() {
    CQuillonvardeSDK* p = CQuillonvardeSDK::CreateInstance();
    auto* impl = dynamic_cast<CQuillonvardeSDKImpl*>(p);
    EXPECT_NE(impl, nullptr);
    return impl;
}

void connect_plain(CQuillonvardeSDKImpl* impl, testpeer::Peer& peer) {
    ASSERT_EQ(impl->ConnectHXA("127.0.0.1", peer.port(), "tok-123", 0), 0) << testhost::dump();
    testhost::clear();
}

static uint16_t u16(const testpeer::Bytes& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
static uint32_t u32(const testpeer::Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

SentHeader parse_header(const testpeer::Bytes& b, size_t at) {
    SentHeader h{};
    if (b.size() < at + 18) {
        ADD_FAILURE() << "fewer than 18 bytes at offset " << at;
        return h;
    }
    h.magic = u16(b, at);
    h.reserved = u16(b, at + 2);
    h.operation = u16(b, at + 4);
    h.seqNo = u32(b, at + 6);
    h.length = u32(b, at + 10);
    h.crc = u32(b, at + 14);
    return h;
}

}  // namespace sdktest
