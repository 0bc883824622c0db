#include "sim_harness.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace simtest {
void make_file(const std::string& path, uint64_t size, const Bytes& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (data.empty()) {
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) perror("ftruncate");
    } else {
        uint64_t done = 0;
        while (done < size) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(size - done, data.size()));
            if (pwrite(fd, data.data(), n, static_cast<off_t>(done)) != static_cast<ssize_t>(n))
                break;
            done += n;
        }
    }
    ::close(fd);
}

Bytes read_file(const std::string& path, uint64_t offset, uint64_t size) {
    Bytes out(static_cast<size_t>(size));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    ssize_t n = pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
    ::close(fd);
    if (n < 0) return {};
    out.resize(static_cast<size_t>(n));
    return out;
}

void write_file(const std::string& path, uint64_t offset, const Bytes& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (pwrite(fd, data.data(), data.size(), static_cast<off_t>(offset)) < 0) perror("pwrite");
    ::close(fd);
}

std::string Simulator::start(const std::vector<std::string>& args) {
    static int counter = 0;
    log_path_ = dir_ + "/simulator-" + std::to_string(++counter) + ".log";
    std::vector<std::string> argv = {HXA_SIMULATOR};
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildOptions options;
    options.in = zev_common::Stream::inherit();
    options.out = zev_common::Stream::pipe();
    options.err = zev_common::Stream::file(log_path_, true);
    child_ = zev_common::ChildProcess::start(argv, options);
    if (!child_.running()) return child_.error();
    fingerprint_.clear();
    const bool wants_fingerprint =
        std::find(args.begin(), args.end(), "--print-fingerprint") != args.end();
    // Wait for the line the simulator prints when it is ready; with --print-fingerprint the
    // "tls-fingerprint" line comes before it. The long limit only keeps a broken simulator
    // from hanging the test; it is not a timing expectation.
    const std::string fingerprint_prefix = "tls-fingerprint ";
    std::string line;
    for (bool more = true; more;) {
        line.clear();
        char c;
        for (;;) {
            struct pollfd p = {child_.out_fd(), POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0) {
                more = false;
                break;
            }
            ssize_t n = read(child_.out_fd(), &c, 1);
            if (n <= 0) {
                more = false;
                break;
            }
            if (c == '\n') break;
            line.push_back(c);
        }
        if (wants_fingerprint && fingerprint_.empty() && line.rfind(fingerprint_prefix, 0) == 0)
            fingerprint_ = line.substr(fingerprint_prefix.size());
        else
            more = false;
    }
    child_.close_out();
    unsigned a, b, d, e, port;
    if ((wants_fingerprint && fingerprint_.empty()) ||
        std::sscanf(line.c_str(), "listening on %u.%u.%u.%u:%u", &a, &b, &d, &e, &port) != 5) {
        int status = stop(SIGKILL);
        return "simulator did not start (status " + std::to_string(status) + ", stdout '" + line +
               "'):\n" + log();
    }
    port_ = static_cast<uint16_t>(port);
    return "";
}

int Simulator::stop(int signal) {
    if (!child_.running()) return -1;
    return child_.stop(signal).shell_code();
}

std::string Simulator::log() const {
    std::ifstream in(log_path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> simulator_args(const std::string& token, const std::string& reader,
                                        const std::string& flat, const std::vector<LunFile>& luns,
                                        const std::string& san_disk) {
    std::vector<std::string> args = {"--token", token,    "--read-only-token",
                                     reader,    "--disk", "/vm/flat=" + flat};
    std::string layout;
    for (const LunFile& l : luns) {
        args.insert(args.end(), {"--lun", l.wwn_hex + "=" + l.path});
        layout += (layout.empty() ? ":" : ",") + l.wwn_hex;
    }
    args.insert(args.end(), {"--san-disk", san_disk + layout});
    return args;
}

int run_simulator(const std::vector<std::string>& args, std::string& err) {
    std::vector<std::string> argv = {HXA_SIMULATOR};
    argv.insert(argv.end(), args.begin(), args.end());
    zev_common::ChildOptions options;
    options.in = zev_common::Stream::inherit();
    options.out = zev_common::Stream::null();
    options.err = zev_common::Stream::capture();
    const zev_common::ChildResult r = zev_common::run_child(argv, options);
    err = r.err;
    return r.error.empty() ? r.status.shell_code() : -1;
}

std::string write_certificate(const std::string& cert_path, const std::string& key_path) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    std::string error;
    if (key == nullptr || cert == nullptr) {
        error = "key or certificate allocation failed";
    } else {
        X509_NAME* name = X509_get_subject_name(cert);
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("test-hxa"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        if (X509_sign(cert, key, EVP_sha256()) <= 0) error = "signing failed";
    }
    if (error.empty()) {
        FILE* c = fopen(cert_path.c_str(), "w");
        FILE* k = fopen(key_path.c_str(), "w");
        if (c == nullptr || k == nullptr || PEM_write_X509(c, cert) != 1 ||
            PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
            error = "writing PEM files failed";
        if (c) fclose(c);
        if (k) fclose(k);
    }
    X509_free(cert);
    EVP_PKEY_free(key);
    return error;
}

namespace {

const LunFile* find_lun(const vhd_Rec& r, const std::vector<LunFile>& luns) {
    const std::string hex = testcommon::wwn_hex(r.lunWwn);
    for (const auto& l : luns)
        if (l.wwn_hex == hex) return &l;
    return nullptr;
}

}  // namespace

bool apply_read_map(const std::vector<vhd_Rec>& records, const std::vector<LunFile>& luns,
                    Bytes& out) {
    out.clear();
    for (const auto& r : records) {
        if (r.phyOffset == 0) {
            out.insert(out.end(), static_cast<size_t>(r.dataLen), 0);
            continue;
        }
        const LunFile* l = find_lun(r, luns);
        if (l == nullptr || r.phyOffset < 0x200000) return false;
        Bytes part = read_file(l->path, r.phyOffset, r.dataLen);
        if (part.size() != r.dataLen) return false;
        out.insert(out.end(), part.begin(), part.end());
    }
    return true;
}

bool apply_write_map(const std::vector<vhd_Rec>& records, const std::vector<LunFile>& luns,
                     const Bytes& data) {
    size_t at = 0;
    for (const auto& r : records) {
        const LunFile* l = find_lun(r, luns);
        if (l == nullptr || r.phyOffset < 0x200000 || at + r.dataLen > data.size()) return false;
        write_file(l->path, r.phyOffset,
                   Bytes(data.begin() + static_cast<long>(at),
                         data.begin() + static_cast<long>(at + r.dataLen)));
        at += static_cast<size_t>(r.dataLen);
    }
    return at == data.size();
}

}  // namespace simtest
