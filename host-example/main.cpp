// A minimal host of libquillonvarde_sdk: installs a log function and a level object,
// connects to an HXA service, opens one disk and copies it out to files (backup) or in from
// files (restore), in the order the steps are given, then closes everything.
//
// It uses only the public header. The library takes its OpenSSL functions from the host
// process, so this program links OpenSSL itself (and uses it for the SHA-256 it prints).
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "Quillonvarde_sdk.h"

namespace {

// Levels handed to the log function; the host alone decides what to show.
enum Level { kTrace = 1, kInfo = 2, kDetail = 3, kWarn = 4, kError = 5 };
int g_show_from = kError;

class HostLevels : public CQuillonvardeDebugLevel {
  public:
    int GetDebugLevel() override { return g_show_from; }
    void SetDebugLevel(int level) override { g_show_from = level; }
    int GetTraceLevel() override { return kTrace; }
    int GetInfoLevel() override { return kInfo; }
    int GetDetailLevel() override { return kDetail; }
    int GetWarnLevel() override { return kWarn; }
    int GetErrorLevel() override { return kError; }
};

void host_log(int level, const char* format, ...) {
    if (level < g_show_from) return;
    static const char* names[] = {"", "trace", "info", "detail", "warn", "error"};
    std::fprintf(stderr, "[sdk %s] ", level >= kTrace && level <= kError ? names[level] : "?");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

struct Step {
    bool backup;  // true: disk -> file; false: file -> disk
    std::string file;
};

struct Args {
    std::string address = "127.0.0.1";
    unsigned short port = 0;
    std::string token;
    bool tls = false;
    std::string disk;
    unsigned long long size = 0;
    TRANSMODE mode = TRANS_LAN;
    std::list<std::string> luns;
    unsigned long long chunk = 4ull << 20;
    std::vector<Step> steps;
};

const char* kUsage =
    "usage: host-example --port P --token T --disk PATH --size BYTES [options] steps...\n"
    "  --address A        service address (default 127.0.0.1)\n"
    "  --tls              connect with TLS\n"
    "  --san --lun NAME   SAN transport; NAME is a device under /dev/disk/by-id (repeatable)\n"
    "  --chunk BYTES      bytes per read or write call (default 4 MiB)\n"
    "  --verbose          show every library message (default: errors only)\n"
    "steps, done in the order given:\n"
    "  --backup FILE      copy the disk out into FILE\n"
    "  --restore FILE     copy FILE into the disk (at most --size bytes)\n";

bool parse(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        bool has_value = i + 1 < argc;
        if (k == "--tls") {
            a.tls = true;
        } else if (k == "--san") {
            a.mode = TRANS_SAN;
        } else if (k == "--verbose") {
            g_show_from = kTrace;
        } else if (!has_value) {
            return false;
        } else if (k == "--address") {
            a.address = argv[++i];
        } else if (k == "--port") {
            a.port = static_cast<unsigned short>(std::strtoul(argv[++i], nullptr, 10));
        } else if (k == "--token") {
            a.token = argv[++i];
        } else if (k == "--disk") {
            a.disk = argv[++i];
        } else if (k == "--size") {
            a.size = std::strtoull(argv[++i], nullptr, 10);
        } else if (k == "--chunk") {
            a.chunk = std::strtoull(argv[++i], nullptr, 10);
        } else if (k == "--lun") {
            a.luns.push_back(argv[++i]);
        } else if (k == "--backup" || k == "--restore") {
            a.steps.push_back({k == "--backup", argv[++i]});
        } else {
            return false;
        }
    }
    return a.port != 0 && !a.disk.empty() && a.size != 0 && a.chunk != 0 && !a.steps.empty();
}

std::string hex(const unsigned char* d, unsigned n) {
    std::string s;
    char b[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

// Disk -> file.
bool backup(CQuillonvardeSDK* sdk, unsigned handle, const Args& a, const std::string& path) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    std::vector<char> buf(a.chunk);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
    bool ok = true;
    for (unsigned long long off = 0; ok && off < a.size; off += a.chunk) {
        unsigned long long n = a.size - off < a.chunk ? a.size - off : a.chunk;
        unsigned long long got = buf.size();
        if (sdk->ReadDisk(handle, off, n, buf.data(), got) != 0 || got != n) {
            std::fprintf(stderr, "host-example: reading %llu bytes at %llu failed\n", n, off);
            ok = false;
        } else if (std::fwrite(buf.data(), 1, got, out) != got) {
            std::perror(path.c_str());
            ok = false;
        } else {
            EVP_DigestUpdate(md, buf.data(), got);
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned dlen = 0;
    EVP_DigestFinal_ex(md, digest, &dlen);
    EVP_MD_CTX_free(md);
    if (std::fclose(out) != 0) ok = false;
    if (ok)
        std::printf("backup: %llu bytes from %s to %s, sha256 %s\n", a.size, a.disk.c_str(),
                    path.c_str(), hex(digest, dlen).c_str());
    return ok;
}

// File -> disk.
bool restore(CQuillonvardeSDK* sdk, unsigned handle, const Args& a, const std::string& path) {
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    std::vector<char> buf(a.chunk);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, EVP_sha256(), nullptr);
    bool ok = true;
    unsigned long long off = 0;
    while (ok && off < a.size) {
        size_t want = a.size - off < a.chunk ? static_cast<size_t>(a.size - off) : buf.size();
        size_t n = std::fread(buf.data(), 1, want, in);
        if (n == 0) break;
        long long len = static_cast<long long>(n);
        if (sdk->WriteDisk(handle, off, n, buf.data(), len) != 0 ||
            len != static_cast<long long>(n)) {
            std::fprintf(stderr, "host-example: writing %zu bytes at %llu failed\n", n, off);
            ok = false;
        } else {
            EVP_DigestUpdate(md, buf.data(), n);
            off += n;
        }
    }
    if (std::ferror(in)) ok = false;
    std::fclose(in);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned dlen = 0;
    EVP_DigestFinal_ex(md, digest, &dlen);
    EVP_MD_CTX_free(md);
    if (ok)
        std::printf("restore: %llu bytes from %s to %s, sha256 %s\n", off, path.c_str(),
                    a.disk.c_str(), hex(digest, dlen).c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parse(argc, argv, a)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // The library expects OpenSSL to be loaded and usable in the host process.
    OPENSSL_init_ssl(0, nullptr);

    static HostLevels levels;
    if (CQuillonvardeSDK::InitialSDK(host_log, &levels, "", "", "") != 0) return 1;
    CQuillonvardeSDK* sdk = CQuillonvardeSDK::CreateInstance();

    bool ok = false;
    bool restoring = false;
    for (const auto& s : a.steps) restoring = restoring || !s.backup;
    if (sdk->ConnectHXA(a.address, a.port, a.token, a.tls ? 1 : 0) != 0) {
        std::fprintf(stderr, "host-example: cannot connect to %s:%u\n", a.address.c_str(), a.port);
    } else {
        unsigned handle = 0;
        OPENMODE mode = restoring ? OPEN_READWRITE : OPEN_READONLY;
        if (sdk->OpenDisk(a.luns, a.disk, mode, handle, a.mode) != 0) {
            std::fprintf(stderr, "host-example: cannot open disk %s\n", a.disk.c_str());
            if (a.mode == TRANS_SAN) sdk->CloseDisk(handle);  // closes the LUN devices
        } else {
            std::printf("opened %s over %s%s, handle %u\n", a.disk.c_str(),
                        a.mode == TRANS_SAN ? "SAN" : "LAN", a.tls ? " (TLS)" : "", handle);
            ok = true;
            for (const auto& s : a.steps) {
                ok = s.backup ? backup(sdk, handle, a, s.file) : restore(sdk, handle, a, s.file);
                if (!ok) break;
            }
            if (sdk->CloseDisk(handle) != 0) {
                std::fprintf(stderr, "host-example: closing the disk failed\n");
                ok = false;
            }
        }
        sdk->DisConnectHXA();
    }
    CQuillonvardeSDK::DestroyInstance(sdk);
    return ok ? 0 : 1;
}
