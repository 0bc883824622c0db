// The library's dynamic symbol table and dependencies, read with the binutils tools.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

std::string run(const std::string& command) {
    zev_common::ChildOptions options;
    options.in = zev_common::Stream::inherit();
    options.out = zev_common::Stream::capture();
    const zev_common::ChildResult r = zev_common::run_child({"/bin/sh", "-c", command}, options);
    EXPECT_EQ(r.status.shell_code(), 0) << command << r.error;
    return r.out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (!l.empty()) lines.push_back(l);
    return lines;
}

}  // namespace

TEST(Symbols, OnlyTheClassesAreExported) {
    std::string lib = SDK_LIBRARY_FILE;
    // "<address> <type> <demangled name>" for every defined dynamic symbol.
    auto defined = lines_of(run("nm -D --defined-only -C '" + lib + "'"));
    ASSERT_FALSE(defined.empty());
    const std::set<std::string> runtime = {"_init", "_fini", "_edata", "_end", "__bss_start"};
    std::set<std::string> names;
    for (const std::string& l : defined) {
        std::string name = l.substr(l.find(' ', l.find(' ') + 1) + 1);
        names.insert(name);
        bool ours = name.rfind("CQuillonvardeSDK::", 0) == 0 ||
                    name.rfind("CQuillonvardeSDKImpl::", 0) == 0 || name.rfind("HFILE::", 0) == 0 ||
                    name == "typeinfo for CQuillonvardeSDK" ||
                    name == "typeinfo for CQuillonvardeSDKImpl" ||
                    name == "typeinfo name for CQuillonvardeSDK" ||
                    name == "typeinfo name for CQuillonvardeSDKImpl" ||
                    name == "vtable for CQuillonvardeSDK" ||
                    name == "vtable for CQuillonvardeSDKImpl";
        EXPECT_TRUE(ours || runtime.count(name) == 1) << "unexpected export: " << l;
    }
    const char* required[] = {
        "CQuillonvardeSDK::CreateInstance()",
        "CQuillonvardeSDK::DestroyInstance(CQuillonvardeSDK*)",
        // Added later, as a static function: the virtual tables and the object stay as
        // hosts built against the first release know them.
        "CQuillonvardeSDK::PinServerCertificates(CQuillonvardeSDK*, "
        "std::__cxx11::list<std::__cxx11::basic_string<char, std::char_traits<char>, "
        "std::allocator<char> >, std::allocator<std::__cxx11::basic_string<char, "
        "std::char_traits<char>, std::allocator<char> > > > const&)",
        "CQuillonvardeSDK::ServerCertificateFingerprint(CQuillonvardeSDK*, "
        "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >&)",
        "CQuillonvardeSDKImpl::ConnectHXA(std::__cxx11::basic_string<char, "
        "std::char_traits<char>, std::allocator<char> > const&, unsigned short, "
        "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > "
        "const&, unsigned int)",
        "CQuillonvardeSDKImpl::ReadDisk(unsigned int, unsigned long long, unsigned long long, "
        "char*, unsigned long long&)",
        "CQuillonvardeSDKImpl::WriteDisk(unsigned int, unsigned long long, unsigned long long, "
        "char const*, long long&)",
        "CQuillonvardeSDKImpl::CloseDisk(unsigned int)",
        "CQuillonvardeSDKImpl::DisConnectHXA()",
        "CQuillonvardeSDKImpl::send_msg(char*, unsigned long long)",
        "CQuillonvardeSDKImpl::recv_msg(char*, long long)",
        "CQuillonvardeSDKImpl::bsb_crc32(char*, unsigned int)",
        "CQuillonvardeSDKImpl::init_crc_table()",
        "CQuillonvardeSDKImpl::CloseLocalLunDevFile()",
        "CQuillonvardeSDKImpl::Instance()",
        "CQuillonvardeSDKImpl::ReleaseInstance(CQuillonvardeSDKImpl*)",
        "CQuillonvardeSDKImpl::m_pLog",
        "CQuillonvardeSDKImpl::m_pDebugLevel",
        "CQuillonvardeSDKImpl::crc_table",
        "HFILE::HFILE()",
        "HFILE::HFILE(HFILE const&)",
        "HFILE::~HFILE()",
        "typeinfo for CQuillonvardeSDK",
        "typeinfo for CQuillonvardeSDKImpl",
        "vtable for CQuillonvardeSDKImpl",
    };
    for (const char* r : required) EXPECT_EQ(names.count(r), 1u) << "missing export: " << r;
    bool has_initial = false, has_open = false, has_readlun = false, has_writelun = false;
    for (const auto& n : names) {
        has_initial |= n.rfind("CQuillonvardeSDK::InitialSDK(", 0) == 0;
        has_open |= n.rfind("CQuillonvardeSDKImpl::OpenDisk(", 0) == 0;
        has_readlun |= n.rfind("CQuillonvardeSDKImpl::ReadLun(", 0) == 0;
        has_writelun |= n.rfind("CQuillonvardeSDKImpl::WriteLun(", 0) == 0;
    }
    EXPECT_TRUE(has_initial && has_open && has_readlun && has_writelun);
}

// The binary layout hosts rely on: the virtual table of the implementation holds the offset,
// the type information, the six operations and the two destructors, and nothing else.
TEST(Symbols, VirtualTableKeepsItsSize) {
    std::string lib = SDK_LIBRARY_FILE;
    auto sized = lines_of(run("nm -D -S --defined-only -C '" + lib + "'"));
    bool found = false;
    for (const std::string& l : sized) {
        if (l.find(" vtable for CQuillonvardeSDKImpl") == std::string::npos) continue;
        found = true;
        EXPECT_EQ(l.substr(17, 16), "0000000000000050") << l;
    }
    EXPECT_TRUE(found);
}

TEST(Symbols, OpenSslComesFromTheHost) {
    std::string lib = SDK_LIBRARY_FILE;
    std::string dyn = run("readelf -d '" + lib + "'");
    EXPECT_EQ(dyn.find("libssl"), std::string::npos) << dyn;
    EXPECT_EQ(dyn.find("libcrypto"), std::string::npos) << dyn;
    EXPECT_NE(dyn.find("libstdc++"), std::string::npos) << dyn;
    EXPECT_NE(dyn.find("(SONAME)             Library soname: [libquillonvarde_sdk.so.1]"),
              std::string::npos)
        << dyn;
    // The OpenSSL functions are undefined in the library and resolved in the host.
    std::string undefined = run("nm -D --undefined-only '" + lib + "'");
    EXPECT_NE(undefined.find("SSL_connect"), std::string::npos);
    EXPECT_NE(undefined.find("SSL_CTX_new"), std::string::npos);
    EXPECT_NE(undefined.find("ERR_get_error"), std::string::npos);
    // Certificate pinning digests the peer's certificate with the host's libcrypto.
    EXPECT_NE(undefined.find("X509_digest"), std::string::npos);
    EXPECT_NE(undefined.find("EVP_sha256"), std::string::npos);
}
