// Allocation failures of reply payloads and data blocks: a child process with a limited
// address space asks for blocks the limit cannot hold; the calls fail with a message and
// result 1, nothing escapes as an exception, and the stream stays usable.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "child_process.h"
#include "lun_files.h"
#include "sdk_fixture.h"

using namespace sdktest;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Current size of the address space in bytes.
unsigned long long address_space() {
    std::ifstream in("/proc/self/status");
    std::string key;
    unsigned long long kb = 0;
    while (in >> key) {
        if (key == "VmSize:") {
            in >> kb;
            break;
        }
        std::getline(in, key);
    }
    return kb * 1024;
}

// Runs `body` in a child process whose address space may grow by `room` bytes only; the
// child's exit code is body's count of failed checks.
int in_limited_child(unsigned long long room, const std::function<int()>& body) {
    zev_common::ChildOptions options;
    options.in = zev_common::Stream::inherit();
    options.address_space = address_space() + room;
    zev_common::ChildProcess child = zev_common::ChildProcess::call(body, options);
    zev_common::ChildStatus status;
    if (!child.wait(status)) return 200;
    return status.signal == 0 ? status.exit_code : 200 + status.signal;
}

#define CHILD_CHECK(cond)                                                            \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "check failed at line %d: %s\n%s", __LINE__, #cond, \
                         testhost::dump().c_str());                                  \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

}  // namespace

TEST(Allocation, ReplyAndDataBlocksThatCannotBeAllocated) {
    if (kSanitized) GTEST_SKIP() << "address-space limits do not work with the sanitizers";
    ASSERT_EQ(testhost::install(), 0);
    const uint32_t big_payload = 6 + 64 * 1048576;  // the largest reply accepted
    const uint32_t big_data = 256u << 20;
    int failures = in_limited_child(48ull << 20, [&]() {
        int failures = 0;
        Peer peer;
        peer.serve([&](Conn& c) {
            // A LAN read whose data block cannot be allocated.
            c.read_exact(34);
            c.send(transfer_reply(3, transfer_payload(0, big_data)));
            Bytes chunk(1 << 20, 0x11);
            for (uint32_t sent = 0; sent < big_data; sent += chunk.size()) c.send(chunk);
            // A SAN reply whose payload cannot be allocated.
            c.read_exact(38);
            c.send(reply_header(12, big_payload));
            Bytes zeros(1 << 20, 0);
            for (uint32_t sent = 0; sent < big_payload;) {
                uint32_t n = std::min<uint32_t>(zeros.size(), big_payload - sent);
                c.send(Bytes(zeros.begin(), zeros.begin() + n));
                sent += n;
            }
            // A LAN write whose data copy cannot be allocated sends nothing; then a clean
            // exchange shows the stream is still aligned.
            c.read_exact(34);
            c.send(transfer_reply(3, transfer_payload(0, 4)));
            c.send(Bytes{1, 2, 3, 4});
            c.read_all();
        });
        CQuillonvardeSDKImpl* impl = make();
        connect_plain(impl, peer);
        std::vector<char> buf(1 << 20);
        unsigned long long size = 1ull << 30;  // claimed capacity; the data never arrives
        impl->m_uiTransMode = TRANS_LAN;
        CHILD_CHECK(impl->ReadDisk(1, 0, big_data, buf.data(), size) == 1);
        CHILD_CHECK(testhost::logged(kError,
                                     "ReadDisk: out of memory for [268435456] data "
                                     "bytes!  (line #)"));
        impl->m_uiTransMode = TRANS_SAN;
        size = buf.size();
        CHILD_CHECK(impl->ReadDisk(1, 0, 4096, buf.data(), size) == 1);
        CHILD_CHECK(testhost::logged(kError,
                                     "ReadDisk: out of memory for a reply of "
                                     "[67108870] bytes!  (line #)"));
        impl->m_uiTransMode = TRANS_LAN;
        long long len = 1ll << 30;  // claimed; refused before any byte is copied
        CHILD_CHECK(impl->WriteDisk(1, 0, 512u << 20, buf.data(), len) == 1);
        CHILD_CHECK(testhost::logged(kError,
                                     "WriteDisk: out of memory for [536870912] data "
                                     "bytes!  (line #)"));
        CHILD_CHECK(len == 1ll << 30);
        testhost::clear();
        size = 4;
        CHILD_CHECK(impl->ReadDisk(1, 0, 4, buf.data(), size) == 0);
        CHILD_CHECK(size == 4 && buf[0] == 1 && buf[3] == 4);
        CHILD_CHECK(impl->m_uiSeqNo == 3);
        impl->DisConnectHXA();
        peer.join();
        CQuillonvardeSDK::DestroyInstance(impl);
        return failures;
    });
    EXPECT_EQ(failures, 0);
}
