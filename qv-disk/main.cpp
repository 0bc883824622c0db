// qv-disk: reads and writes the virtual disks of an HXA disk service from the command line,
// through libquillonvarde_sdk, as a backup agent does.
//
//   qv-disk info   --server ADDR[:PORT] --disk PATH [--json]              [options]
//   qv-disk read   --server ADDR[:PORT] --disk PATH -o FILE [--size SIZE] [options]
//   qv-disk diff   --server ADDR[:PORT] --disk PATH --base-manifest FILE  [options] > STREAM
//   qv-disk write  --server ADDR[:PORT] --disk PATH -i FILE [--only-changed] [options]
//   qv-disk verify-luns NAME...
#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "console.h"
#include "diff.h"
#include "info.h"
#include "output-file.h"
#include "sdk_session.h"
#include "stream-format.h"
#include "transfer.h"

namespace {

// The port used when --server names none.
constexpr unsigned short kDefaultPort = 9400;

struct Options {
    std::string server;
    std::string token;
    std::string token_file;
    std::vector<std::string> luns;
    bool san = false;
    int verbosity = 0;
    uint64_t length = 0;
    uint64_t rate = 0;
    std::string progress = "auto";
    std::vector<std::string> fingerprints;
    qvdisk::Transfer transfer;
};

// Usage errors (a wrong option or value, found before anything is opened) end with 2; a
// run that failed or was refused ends with 1.
constexpr int kUsage = zevcli::kUsageError;

// The end of the help: sizes and a few examples.
const std::string kFooter =
    std::string(zevcli::kSizeRule) +
    "\nThe token comes from --token-file FILE or the environment variable QV_TOKEN; QV_SERVER\n"
    "and QV_TLS_FINGERPRINT (pins separated by commas) stand for --server and\n"
    "--tls-fingerprint.\n\n"
    "Examples:\n"
    "  qv-disk info --server 10.0.0.5 --tls --disk /vm/web/disk0\n"
    "  qv-disk read --server 10.0.0.5 --disk /vm/web/disk0 -o disk0.img \\\n"
    "      --manifest disk0.manifest\n"
    "  qv-disk diff --server 10.0.0.5 --disk /vm/web/disk0 --base-manifest disk0.manifest \\\n"
    "      --manifest night1.manifest -o night1.jsonl\n"
    "  qv-disk write --server 10.0.0.5 --disk /vm/web/disk0 -i disk0.img --only-changed\n"
    "  qv-disk verify-luns wwn-0x6000c2901234567890abcdef01234567\n"
    "Run 'qv-disk SUBCOMMAND --help' for the options of each.";

// The longest disk path the service's open request holds in each transport, and the longest
// token: a longer one would be cut to another name.
constexpr size_t kLanPathMax = 255, kSanPathMax = 511, kTokenMax = 127;

// A fingerprint as 64 lower-case hexadecimal digits, from the text with or without colons,
// in either case; "" when it is not one.
std::string normal_fingerprint(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex.size() == 64 ? hex : "";
}

// "ADDR[:PORT]" with ADDR an IPv4 address or a host name that resolves to one.
bool parse_server(const std::string& server, qvdisk::Endpoint& where) {
    if (server.empty()) {
        qvdisk::message("no service: give --server ADDR[:PORT] or set QV_SERVER");
        return false;
    }
    std::string host = server;
    where.port = kDefaultPort;
    size_t colon = server.rfind(':');
    if (colon != std::string::npos) {
        host = server.substr(0, colon);
        std::string port = server.substr(colon + 1);
        char* end = nullptr;
        unsigned long value = std::strtoul(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || value == 0 || value > 65535) {
            qvdisk::message("--server " + server + ": the port must be a number from 1 to 65535");
            return false;
        }
        where.port = static_cast<unsigned short>(value);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    int rc = host.empty() ? EAI_NONAME : getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        qvdisk::message("--server " + server + ": no IPv4 address for '" + host + "'");
        return false;
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text,
              sizeof text);
    freeaddrinfo(found);
    where.address = text;
    return true;
}

// The token from --token-file, --token (with a warning) or QV_TOKEN, in that order. It is
// never shown. A token that does not fit the service's field, or that holds a byte the field
// would cut it at or a line break, is refused: the service would judge another token.
bool find_token(const Options& o, std::string& token) {
    std::string source;
    if (!o.token_file.empty()) {
        source = "--token-file " + o.token_file;
        std::ifstream in(o.token_file);
        if (!in || !std::getline(in, token)) {
            qvdisk::message(source + ": cannot read a token from it");
            return false;
        }
        while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) token.pop_back();
        if (token.empty()) {
            qvdisk::message(source + ": its first line holds no token");
            return false;
        }
        struct stat st;
        if (stat(o.token_file.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            qvdisk::note("warning: the token file " + o.token_file +
                         " can be read by other users (mode " + mode + "); chmod 600 " +
                         o.token_file);
        }
    } else if (!o.token.empty()) {
        source = "--token";
        qvdisk::note(
            "warning: a token given with --token is visible to other users of this machine; "
            "use --token-file FILE or the environment variable QV_TOKEN");
        token = o.token;
    } else if (const char* env = std::getenv("QV_TOKEN")) {
        source = "QV_TOKEN";
        token = env;
    }
    if (token.empty()) {
        qvdisk::message("no token: give --token-file FILE or set QV_TOKEN");
        return false;
    }
    if (token.size() > kTokenMax) {
        qvdisk::message("the token is " + std::to_string(token.size()) +
                        " bytes; the service takes at most " + std::to_string(kTokenMax) +
                        " (token from " + source + ")");
        return false;
    }
    if (token.find_first_of(std::string("\0\n\r", 3)) != std::string::npos) {
        qvdisk::message(
            "the token holds a NUL byte or a line break; the service takes a token "
            "of one line without NUL bytes (token from " +
            source + ")");
        return false;
    }
    return true;
}

// How to reach the disk: every subcommand that talks to the service.
void add_service(CLI::App* sub, Options& o) {
    qvdisk::Transfer& t = o.transfer;
    sub->add_option("--server", o.server,
                    "HXA service as ADDR[:PORT] (IPv4 address or host name; port " +
                        std::to_string(kDefaultPort) +
                        " when none is given; default: QV_SERVER from the environment)")
        ->type_name("ADDR[:PORT]")
        ->envname("QV_SERVER");
    sub->add_option("--disk", t.where.disk, "the disk's path as the service knows it")
        ->type_name("PATH")
        ->required();
    sub->add_flag("--tls", t.where.tls, "connect with TLS");
    sub->add_option(
           "--tls-fingerprint", o.fingerprints,
           "accept only a service whose certificate has this SHA-256 fingerprint "
           "(64 hexadecimal digits, colons and case ignored; repeatable, or several "
           "separated by commas; with --tls; default: QV_TLS_FINGERPRINT from the environment)")
        ->type_name("HEX")
        ->envname("QV_TLS_FINGERPRINT")
        ->delimiter(',')
        ->allow_extra_args(false);
    sub->add_flag("--san", o.san, "SAN transport: the data moves on local LUN devices");
    sub->add_option("--lun", o.luns,
                    "a LUN device of the disk, a name under /dev/disk/by-id (repeatable; with "
                    "--san)")
        ->type_name("NAME")
        ->allow_extra_args(false);
    auto* file = sub->add_option("--token-file", o.token_file,
                                 "read the access token from the first line of FILE")
                     ->type_name("FILE");
    sub->add_option("--token", o.token,
                    "the access token (visible to other users: prefer --token-file or "
                    "QV_TOKEN)")
        ->type_name("TOKEN")
        ->excludes(file);
    sub->add_option("--retries", t.retry.retries,
                    "retry a call that failed for a cause that may pass up to N times on a new "
                    "connection (default: 5; 0: no retry)")
        ->type_name("N")
        ->transform(zevcli::CountIn(0, 1000));
    sub->add_option("--retry-delay", t.retry.first_delay,
                    "seconds before the first retry, doubled for each further one up to 30 "
                    "(default: 1)")
        ->type_name("SECONDS")
        ->transform(zevcli::SecondsIn(0.0, 30.0));
    sub->add_flag("-v,--verbose", o.verbosity,
                  "show the library's log: -v progress and errors, -vv everything");
}

// How to move a range's bytes: read, write and diff.
void add_transfer(CLI::App* sub, Options& o) {
    add_service(sub, o);
    qvdisk::Transfer& t = o.transfer;
    sub->add_option("--request-size", t.request_size, "bytes per library call (default: 4M)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(1, uint64_t{1} << 30));
    sub->add_option("--connections", t.connections,
                    "split the range over N connections, one thread each (default: 1)")
        ->type_name("N")
        ->transform(zevcli::CountIn(1, 64));
    sub->add_option("--rate", o.rate,
                    "at most SIZE bytes per second over all connections (default: no limit)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(1, UINT64_MAX));
    sub->add_option("--progress", o.progress,
                    "progress: auto (a line on a terminal), json (one JSON object per line on "
                    "standard error, every second and at the end) or none (default: auto)")
        ->type_name("MODE")
        ->check(CLI::IsMember({"auto", "json", "none"}).description(""));
}

// A range of the disk moved to or from a local file, with its journal: read and write.
void add_range(CLI::App* sub, Options& o) {
    qvdisk::Transfer& t = o.transfer;
    sub->add_option("--offset", t.offset, "where the range starts on the disk (default: 0)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(0, UINT64_MAX));
    sub->add_option("--length", o.length,
                    "bytes of the range (default: the rest of the disk for a read, the whole "
                    "input for a write)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(1, UINT64_MAX));
    sub->add_flag("--sha256", t.sha256,
                  "print the SHA-256 of the range, computed as the bytes move");
    sub->add_flag("--resume", t.resume,
                  "continue an interrupted transfer of the same range from its journal");
    sub->add_option("--journal", t.journal,
                    "the journal of the transfer (default: FILE.incomplete.journal beside a "
                    "regular output; for a write or a device, in ~/.local/state/qv-disk/)")
        ->type_name("FILE");
}

int run_verify(const std::vector<std::string>& names) {
    std::string failure;
    if (!qvdisk::verify_luns({names.begin(), names.end()}, failure)) {
        qvdisk::message(failure);
        return 1;
    }
    std::printf("all %zu LUN(s) present under /dev/disk/by-id/\n", names.size());
    return 0;
}

CLI::App* add_read(CLI::App& app, Options& o) {
    CLI::App* read = app.add_subcommand("read", "copy a disk range into a local file");
    add_transfer(read, o);
    add_range(read, o);
    read->add_option("--size", o.transfer.disk_size,
                     "the size of the disk in bytes, checked against the disk (default: found by "
                     "asking the service)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(1, UINT64_MAX));
    read->add_option("-o,--output", o.transfer.local,
                     "the local file to write (-: standard output, in order, with no journal)")
        ->type_name("FILE")
        ->required();
    read->add_flag("--sparse", o.transfer.sparse,
                   "leave blocks of zeros as holes in the output file");
    auto* manifest = read->add_option("--manifest", o.transfer.manifest,
                                      "also write the block manifest of what was read (the "
                                      "SHA-256 of every block), computed as the bytes move")
                         ->type_name("FILE");
    read->add_option("--block-size", o.transfer.block_size,
                     "the manifest's block size (default: 64K)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(1, ZEV_MAX_BLOCK_SIZE))
        ->needs(manifest);
    return read;
}

CLI::App* add_diff(CLI::App& app, Options& o) {
    CLI::App* diff = app.add_subcommand(
        "diff",
        "write on standard output the change stream of the disk against the manifest of its "
        "last backup, as zev-block-diff-tool writes it for two images");
    add_transfer(diff, o);
    diff->add_option("--size", o.transfer.disk_size,
                     "the size of the disk in bytes (default: the base manifest's image size, "
                     "which it must equal)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(1, UINT64_MAX));
    diff->add_option("--base-manifest", o.transfer.base_manifest,
                     "the manifest of the last backup's image: the stream holds every block that "
                     "differs from it, at its block size")
        ->type_name("FILE")
        ->required();
    diff->add_option("--manifest", o.transfer.manifest,
                     "also write the disk's new manifest (once the stream is complete)")
        ->type_name("FILE");
    diff->add_option("-o,--output", o.transfer.local,
                     "write the stream to FILE, through a new file and a rename, only when it is "
                     "complete (default, and -: standard output)")
        ->type_name("FILE");
    return diff;
}

CLI::App* add_write(CLI::App& app, Options& o) {
    CLI::App* write = app.add_subcommand("write", "copy a local file into the disk");
    add_transfer(write, o);
    add_range(write, o);
    write->add_option("-i,--input", o.transfer.local, "the local file to read")
        ->type_name("FILE")
        ->required()
        ->check(CLI::ExistingFile);
    write->add_flag("--only-changed", o.transfer.only_changed,
                    "read the disk's range as it goes, compare it with the input block by block "
                    "and write only the blocks that differ (a rollback to a backup image)");
    write
        ->add_option("--manifest", o.transfer.manifest,
                     "also write the input's block manifest (the SHA-256 of every block), once "
                     "the disk holds all of it")
        ->type_name("FILE");
    write
        ->add_option("--block-size", o.transfer.block_size,
                     "the block size of the comparison and of the manifest (default: 64K; with "
                     "--only-changed or --manifest)")
        ->type_name("SIZE")
        ->transform(zevcli::SizeIn(1, ZEV_MAX_BLOCK_SIZE));
    return write;
}

CLI::App* add_info(CLI::App& app, Options& o, bool& json) {
    CLI::App* info = app.add_subcommand(
        "info",
        "show a disk's size (found by asking the service), the transport and, with --tls, the "
        "fingerprint of the service's certificate in the form --tls-fingerprint takes");
    add_service(info, o);
    info->add_flag("--json", json, "print one JSON object instead of lines for people");
    return info;
}

// The transport and its LUN devices. 0, or the exit status after saying why not.
int settle_transport(const Options& o, qvdisk::Endpoint& where) {
    if (o.san) {
        where.transport = TRANS_SAN;
        where.luns.assign(o.luns.begin(), o.luns.end());
        if (o.luns.empty()) {
            qvdisk::message("--san needs the disk's LUN devices: --lun NAME (repeatable)");
            return kUsage;
        }
    } else if (!o.luns.empty()) {
        qvdisk::message("--lun is used only with --san");
        return kUsage;
    }
    return 0;
}

// The service's open request holds the path in a field of its own size per transport; a
// longer path would be cut to the name of another disk. 0, or the exit status after saying
// why not.
int check_disk_path(const Options& o, const std::string& disk) {
    const size_t path_max = o.san ? kSanPathMax : kLanPathMax;
    if (disk.empty()) {
        qvdisk::message("--disk: the path is empty");
        return kUsage;
    }
    if (disk.find_first_of("\n\r") != std::string::npos) {
        qvdisk::message(
            "--disk: the path holds a line break; the service takes a path of one line");
        return kUsage;
    }
    if (disk.size() > path_max) {
        qvdisk::message(
            "--disk: the path is " + std::to_string(disk.size()) +
            " bytes; the service takes at most " + std::to_string(path_max) +
            (o.san ? " with --san" : " (" + std::to_string(kSanPathMax) + " with --san)"));
        return kUsage;
    }
    return 0;
}

// The certificate pins. 0, or the exit status after saying why not.
int settle_pins(const Options& o, qvdisk::Endpoint& where) {
    for (const std::string& given : o.fingerprints) {
        const std::string pin = normal_fingerprint(given);
        if (pin.empty()) {
            qvdisk::message("--tls-fingerprint " + given +
                            ": not a SHA-256 fingerprint (64 hexadecimal digits, colons allowed; "
                            "several separated by commas)");
            return kUsage;
        }
        where.pins.push_back(pin);
    }
    if (!where.pins.empty() && !where.tls) {
        qvdisk::message(
            std::string(std::getenv("QV_TLS_FINGERPRINT") ? "QV_TLS_FINGERPRINT or " : "") +
            "--tls-fingerprint needs --tls: a plain connection has no certificate");
        return kUsage;
    }
    return 0;
}

// Standard output as the data's destination: `read -o -` and a diff without -o (or with
// -o -). The system's names of standard output are taken as "-": a new file beside such a
// link, renamed over it, would replace the link instead of writing the output. Data is never
// written to a terminal. 0, or the exit status after saying why not.
int settle_standard_output(bool reading, bool diffing, bool output_given, qvdisk::Transfer& t) {
    if (!reading && !diffing) return 0;
    if (output_given && t.local.empty()) {
        qvdisk::message("-o: the file name is empty (- is standard output)");
        return kUsage;
    }
    if (!diffing && !zev::names_standard_output(t.local)) return 0;
    if (diffing && !t.local.empty() && !zev::names_standard_output(t.local)) return 0;
    t.standard_output = true;
    t.local = "-";
    const char* refused = diffing    ? nullptr
                          : t.resume ? "--resume: what went to standard output cannot be "
                                       "taken up again (-o FILE can be resumed)"
                          : t.sparse ? "--sparse: standard output cannot be left with holes"
                          : !t.journal.empty() ? "--journal: standard output keeps no journal"
                                               : nullptr;
    if (refused != nullptr) {
        qvdisk::message(std::string(refused) + "; it cannot be used with -o -");
        return kUsage;
    }
    if (isatty(STDOUT_FILENO) == 1) {
        qvdisk::message(
            "standard output is a terminal; redirect it (> FILE or | PROGRAM) or give -o FILE");
        return kUsage;
    }
    qvdisk::data_on_standard_output();
    return 0;
}

// The transfer of the subcommand `sub` as the options describe it.
void settle_options(const CLI::App* sub, bool writing, bool diffing, Options& o) {
    qvdisk::Transfer& t = o.transfer;
    t.reading = !writing;
    if (!diffing && sub->count("--length") > 0) t.length = o.length;
    t.request_size_given = sub->count("--request-size") > 0;
    t.rate = static_cast<double>(o.rate);
    t.progress = o.progress == "json"   ? qvdisk::ProgressMode::kJson
                 : o.progress == "none" ? qvdisk::ProgressMode::kNone
                                        : qvdisk::ProgressMode::kAuto;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Reads and writes virtual disks through the HXA disk service."};
    zevcli::setup(app, "qv-disk", kFooter);
    app.require_subcommand(1);
    Options o;
    CLI::App* read = add_read(app, o);
    CLI::App* diff = add_diff(app, o);
    CLI::App* write = add_write(app, o);
    bool json = false;
    CLI::App* info = add_info(app, o, json);
    std::vector<std::string> names;
    CLI::App* verify = app.add_subcommand(
        "verify-luns", "rescan the SCSI buses and check that LUN devices are present");
    verify->add_option("NAME", names, "a device name under /dev/disk/by-id")
        ->type_name("NAME")
        ->required();
    verify->add_flag("-v", o.verbosity, "show the library's log");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return zevcli::exit_status(app, e);
    }

    // The library takes its OpenSSL functions from this process.
    OPENSSL_init_ssl(0, nullptr);
    if (!qvdisk::start_library(o.verbosity)) {
        qvdisk::message("the library refused its log hooks");
        return 1;
    }
    if (verify->parsed()) return run_verify(names);

    qvdisk::Transfer& t = o.transfer;
    if (info->parsed()) {
        qvdisk::InfoRequest request;
        request.where = t.where;
        request.retry = t.retry;
        request.json = json;
        if (const int status = settle_transport(o, request.where)) return status;
        if (const int status = check_disk_path(o, request.where.disk)) return status;
        if (const int status = settle_pins(o, request.where)) return status;
        if (!parse_server(o.server, request.where)) return kUsage;
        if (!find_token(o, request.where.token)) return 1;
        return qvdisk::run_info(request);
    }
    settle_options(read->parsed()   ? read
                   : diff->parsed() ? diff
                                    : write,
                   write->parsed(), diff->parsed(), o);
    if (write->parsed() && write->count("--block-size") > 0 && !t.only_changed &&
        t.manifest.empty()) {
        qvdisk::message("--block-size needs --only-changed or --manifest");
        return kUsage;
    }
    if (const int status = settle_transport(o, t.where)) return status;
    if (const int status = check_disk_path(o, t.where.disk)) return status;
    if (const int status = settle_pins(o, t.where)) return status;
    if (const int status = settle_standard_output(
            read->parsed(), diff->parsed(), (read->parsed() ? read : diff)->count("-o") > 0, t))
        return status;
    t.server = o.server;
    if (!parse_server(o.server, t.where)) return kUsage;
    // The command line is accepted: from here the run ends with a final progress object.
    qvdisk::start_report(t.progress);
    if (!find_token(o, t.where.token)) return qvdisk::end_report(1);
    return qvdisk::end_report(diff->parsed() ? qvdisk::run_diff(t) : qvdisk::run_transfer(t));
}
