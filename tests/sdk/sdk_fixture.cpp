#include "sdk_fixture.h"

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

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

static bool is_transport_line(const std::string& t) {
    return t.rfind("send message to server success", 0) == 0 ||
           t.rfind("recv message from server success", 0) == 0 ||
           t.rfind("String2Hex: dev = ", 0) == 0 ||
           t == "enter CQuillonvardeSDKImpl::String2Hex:..." ||
           t == "leave CQuillonvardeSDKImpl::String2Hex: OK";
}

std::vector<LogEntry> operation_log() {
    std::vector<LogEntry> out;
    for (auto& e : testhost::normalized_entries())
        if (!is_transport_line(e.text)) out.push_back(e);
    return out;
}

std::string render(const std::vector<LogEntry>& entries) {
    std::ostringstream os;
    for (const auto& e : entries) os << "  " << e.level << " [" << e.text << "]\n";
    return os.str();
}

void expect_log(const std::vector<LogEntry>& expected) {
    std::vector<LogEntry> got = operation_log();
    bool same = got.size() == expected.size();
    for (size_t i = 0; same && i < got.size(); ++i)
        same = got[i].level == expected[i].level && got[i].text == expected[i].text;
    EXPECT_TRUE(same) << "expected:\n" << render(expected) << "got:\n" << render(got);
    expect_line_numbers_match_source();
}

void expect_line_numbers_match_source() {
    static std::vector<std::string> lines;
    if (lines.empty()) {
        std::ifstream in(SDK_IMPL_SOURCE);
        std::string l;
        while (std::getline(in, l)) lines.push_back(l);
    }
    ASSERT_FALSE(lines.empty()) << "cannot read " << SDK_IMPL_SOURCE;
    static const std::regex line_no(R"(\(line ([0-9]+)\))");
    for (const auto& e : testhost::entries()) {
        std::smatch m;
        if (!std::regex_search(e.text, m, line_no)) continue;
        size_t n = std::stoul(m[1].str());
        ASSERT_GE(n, 1u);
        ASSERT_LE(n, lines.size()) << e.text;
        // The statement may span a few lines; its first words stand in one of them.
        std::string head = e.text.substr(0, e.text.find_first_of("[%:") + 1);
        if (head.size() > 20) head.resize(20);
        bool found = false;
        for (size_t k = (n > 3 ? n - 3 : 1); k <= n && !found; ++k)
            found = lines[k - 1].find("\"" + head) != std::string::npos &&
                    lines[k - 1].find("LOG_") != std::string::npos;
        for (size_t k = (n > 3 ? n - 3 : 1); k <= n && !found; ++k)
            found = lines[k - 1].find("\"" + head) != std::string::npos;
        EXPECT_TRUE(found) << "\"" << e.text << "\" names line " << n << ": " << lines[n - 1];
    }
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

uint32_t reference_crc(const uint8_t* data, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xED58F323u : c >> 1;
    }
    return c;
}

}  // namespace sdktest
