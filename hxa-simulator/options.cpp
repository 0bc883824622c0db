#include "options.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "command_line.h"

namespace hxasim {

bool parse_wwn(const std::string& text, std::string& lower_hex) {
    if (text.size() != 32) return false;
    std::string s;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        s.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    lower_hex = s;
    return true;
}

namespace {

bool split_at(const std::string& text, char sep, std::string& left, std::string& right) {
    size_t pos = text.find(sep);
    if (pos == std::string::npos || pos == 0 || pos + 1 == text.size()) return false;
    left = text.substr(0, pos);
    right = text.substr(pos + 1);
    return true;
}

// A whole decimal count up to `max`, read by the programs' one parser of counts.
bool parse_count(const std::string& text, uint64_t max, uint64_t& out) {
    uint64_t v = 0;
    if (!zevcli::parse_count(text, v).empty() || v > max) return false;
    out = v;
    return true;
}

// A size for `option`, read by the programs' one parser of sizes; "" or why not.
std::string parse_size(const std::string& option, const std::string& text, uint64_t& out) {
    const std::string why = zevcli::parse_size(text, out);
    return why.empty() ? "" : option + ": " + why;
}

// FILE[:SIZE] of `option`: the text after the last colon is always SIZE, so that a mistyped
// size is refused rather than taken into the file name; a file name that holds a colon takes
// one more colon at its end (an empty SIZE). A SIZE is never 0. "" or why not.
std::string split_file_size(const std::string& option, const std::string& text, std::string& file,
                            uint64_t& size) {
    size = 0;
    const size_t colon = text.rfind(':');
    file = text.substr(0, colon);
    if (file.empty()) return option + " needs a file name, got '" + text + "'";
    if (colon == std::string::npos || colon + 1 == text.size()) return "";
    const std::string why = parse_size(option, text.substr(colon + 1), size);
    if (!why.empty())
        return why +
               " (the text after the last ':' is the size; a file name with a ':' ends "
               "with one more ':')";
    if (size == 0) return option + ": the size must not be 0";
    return "";
}

// A decimal fraction such as "0.25", ".5" or "2e-3"; no sign, no infinity.
bool parse_real(const std::string& text, double min, double max, double& out) {
    if (text.empty() || (!std::isdigit(static_cast<unsigned char>(text[0])) && text[0] != '.'))
        return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < min || v > max) return false;
    out = v;
    return true;
}

bool is_loopback(const std::string& address) {
    struct in_addr a;
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

// Checks and stores one value of an option; returns "" or why the value is refused.
using Take = std::function<std::string(const std::string&)>;

// An option with a value that `take` checks and stores as soon as it is parsed: repeated
// options keep their command-line order, and the last of a repeated setting wins.
CLI::Option* add_value(CLI::App& app, const std::string& name, const std::string& type,
                       const std::string& help, Take take) {
    auto store = [take](const std::string& v) {
        std::string why = take(v);
        if (!why.empty()) throw CLI::ValidationError(why);
    };
    return app.add_option_function<std::string>(name, store, help)
        ->option_text(type)
        ->trigger_on_parse();
}

// A flag that acts as soon as it is parsed, so that of --quiet and --verbose the last wins.
void add_switch(CLI::App& app, const std::string& name, const std::string& help,
                std::function<void()> act) {
    app.add_flag_function(
           name, [act](int64_t) { act(); }, help)
        ->trigger_on_parse();
}

std::string refused(const std::string& what, const std::string& value) {
    return what + ", got '" + value + "'";
}

// Where the simulator listens and how: address, port, TLS.
void add_network_options(CLI::App& app, Options& o) {
    add_value(app, "--address", "A", "IPv4 loopback address to listen on (default: 127.0.0.1)",
              [&](const std::string& v) {
                  if (!is_loopback(v))
                      return refused("--address must be an IPv4 loopback address (127.x.x.x)", v);
                  o.address = v;
                  return std::string();
              });
    add_value(app, "--port", "P", "TCP port; 0 picks a free one (default: 0)",
              [&](const std::string& v) {
                  uint64_t p;
                  if (!parse_count(v, 65535, p))
                      return refused("--port needs a number from 0 to 65535", v);
                  o.port = static_cast<uint16_t>(p);
                  return std::string();
              });
    app.add_flag("--tls", o.tls, "serve TLS with a throwaway self-signed certificate");
    add_value(app, "--cert", "FILE", "serve TLS with this PEM certificate (with --key)",
              [&](const std::string& v) {
                  o.cert_file = v;
                  o.tls = true;
                  return std::string();
              });
    add_value(app, "--key", "FILE", "the private key of --cert (PEM)", [&](const std::string& v) {
        o.key_file = v;
        o.tls = true;
        return std::string();
    });
    app.add_flag("--print-fingerprint", o.print_fingerprint,
                 "print \"tls-fingerprint XX:...:XX\", the SHA-256 fingerprint of the TLS "
                 "certificate, before the listening line (with --tls or --cert)");
}

// Who may use the service: tokens with read-write or read-only access.
void add_token_options(CLI::App& app, Options& o) {
    for (bool writable : {true, false}) {
        const std::string name = writable ? "--token" : "--read-only-token";
        add_value(app, name, "T",
                  writable ? "accept token T with read-write access (repeatable)"
                           : "accept token T for reading only (repeatable)",
                  [&o, name, writable](const std::string& v) {
                      if (v.empty() || v.size() > 127) return name + " needs 1 to 127 characters";
                      o.tokens.push_back({v, writable});
                      return std::string();
                  });
    }
}

// What the service serves: flat disks, LUNs and disks on LUNs.
void add_disk_options(CLI::App& app, Options& o) {
    add_value(app, "--disk", "PATH=IMAGE[:SIZE]",
              "serve disk PATH from the flat image file IMAGE, LAN only; with SIZE the file is "
              "created or extended, sparse, to SIZE (repeatable)",
              [&](const std::string& v) {
                  FlatDiskSpec d;
                  std::string rest;
                  if (!split_at(v, '=', d.path, rest))
                      return refused("--disk needs PATH=IMAGE[:SIZE]", v);
                  const std::string why = split_file_size("--disk", rest, d.image, d.create_size);
                  if (!why.empty()) return why;
                  o.flat_disks.push_back(d);
                  return std::string();
              });
    add_value(app, "--lun", "WWN=FILE[:SIZE]",
              "LUN WWN (32 hex digits) in FILE; with SIZE the file is created or extended, "
              "sparse, to SIZE (repeatable)",
              [&](const std::string& v) {
                  LunSpec l;
                  std::string wwn, rest;
                  if (!split_at(v, '=', wwn, rest) || !parse_wwn(wwn, l.wwn_hex))
                      return refused("--lun needs WWN=FILE[:SIZE] with 32 hex digits as WWN", v);
                  const std::string why = split_file_size("--lun", rest, l.file, l.create_size);
                  if (!why.empty()) return why;
                  o.luns.push_back(l);
                  return std::string();
              });
    add_value(app, "--san-disk", "PATH=SIZE:WWN[,WWN...]",
              "a sparse disk of SIZE bytes in chunks on these LUNs (repeatable)",
              [&](const std::string& v) {
                  LunDiskSpec d;
                  std::string rest, size_text, list;
                  if (!split_at(v, '=', d.path, rest) || !split_at(rest, ':', size_text, list))
                      return refused("--san-disk needs PATH=SIZE:WWN[,WWN...]", v);
                  const std::string why = parse_size("--san-disk", size_text, d.size);
                  if (!why.empty()) return why;
                  if (d.size == 0) return std::string("--san-disk: the size must not be 0");
                  size_t start = 0;
                  for (;;) {
                      size_t comma = list.find(',', start);
                      std::string item = list.substr(
                          start, comma == std::string::npos ? std::string::npos : comma - start);
                      std::string hex;
                      if (!parse_wwn(item, hex))
                          return "--san-disk: '" + item + "' is not 32 hexadecimal digits";
                      d.wwns.push_back(hex);
                      if (comma == std::string::npos) break;
                      start = comma + 1;
                  }
                  o.lun_disks.push_back(d);
                  return std::string();
              });
}

// The service's limits, its checks of request headers and its log.
void add_limit_and_log_options(CLI::App& app, Options& o) {
    add_value(app, "--chunk-size", "SIZE", "allocation unit of LUN-backed disks (default: 1M)",
              [&](const std::string& v) {
                  const std::string why = parse_size("--chunk-size", v, o.chunk_size);
                  if (!why.empty()) return why;
                  if (o.chunk_size < 4096 || o.chunk_size % 4096 != 0 ||
                      o.chunk_size > (uint64_t(1) << 30))
                      return refused("--chunk-size must be a multiple of 4K from 4K to 1G", v);
                  return std::string();
              });
    add_value(app, "--max-extents", "N", "most extents in one address map (default: 65536)",
              [&](const std::string& v) {
                  uint64_t n;
                  if (!parse_count(v, 1 << 20, n) || n == 0)
                      return refused("--max-extents must be from 1 to 1048576", v);
                  o.max_extents = static_cast<uint32_t>(n);
                  return std::string();
              });
    add_value(app, "--max-connections", "N", "concurrent connections (default: 64)",
              [&](const std::string& v) {
                  uint64_t n;
                  if (!parse_count(v, 1024, n) || n == 0)
                      return refused("--max-connections must be from 1 to 1024", v);
                  o.max_connections = static_cast<unsigned>(n);
                  return std::string();
              });
    add_switch(app, "--lenient-headers", "accept requests with a wrong magic or checksum",
               [&] { o.strict_headers = false; });
    add_switch(app, "--quiet", "log only errors", [&] { o.verbosity = Verbosity::kQuiet; });
    add_switch(app, "--verbose", "also log every extent",
               [&] { o.verbosity = Verbosity::kVerbose; });
}

// Faults that cut connections: their seed, limit, jitter and mode. The actions set
// `jitter_given` and `mode_given`, which must outlive the parse.
void add_drop_options(CLI::App& app, FaultSettings& f, bool& jitter_given, bool& mode_given) {
    const std::string faults = "Faults";
    add_value(app, "--fault-seed", "N", "seed of the faults of every connection (default: 1)",
              [&](const std::string& v) {
                  if (!parse_count(v, UINT64_MAX, f.seed))
                      return refused("--fault-seed needs a number", v);
                  return std::string();
              })
        ->group(faults);
    add_value(app, "--drop-after", "SIZE",
              "cut each connection once it has moved SIZE bytes in all",
              [&](const std::string& v) {
                  const std::string why = parse_size("--drop-after", v, f.drop_after);
                  if (!why.empty()) return why;
                  if (f.drop_after == 0)
                      return refused("--drop-after needs a size of 1 or more", v);
                  if (f.drop_after > (uint64_t(1) << 62))
                      return refused("--drop-after needs a size up to 2^62 bytes", v);
                  return std::string();
              })
        ->group(faults);
    add_value(app, "--drop-jitter", "SIZE",
              "draw each connection's limit from --drop-after +/- SIZE (default: 0)",
              [&](const std::string& v) {
                  const std::string why = parse_size("--drop-jitter", v, f.drop_jitter);
                  if (!why.empty()) return why;
                  if (f.drop_jitter > (uint64_t(1) << 62))
                      return refused("--drop-jitter needs a size up to 2^62 bytes", v);
                  jitter_given = true;
                  return std::string();
              })
        ->group(faults);
    add_value(app, "--drop-mode", "close|reset",
              "the peer sees the end of the stream, or a reset (default: close)",
              [&](const std::string& v) {
                  if (v != "close" && v != "reset")
                      return refused("--drop-mode must be close or reset", v);
                  f.drop_mode = v == "close" ? DropMode::kClose : DropMode::kReset;
                  mode_given = true;
                  return std::string();
              })
        ->group(faults);
}

// Faults of the answers: I/O failures, delays, stalls, and the limit of all faults.
void add_answer_fault_options(CLI::App& app, FaultSettings& f) {
    const std::string faults = "Faults";
    add_value(app, "--io-error-rate", "P",
              "share of transfers answered with result 8 or 10 (default: 0)",
              [&](const std::string& v) {
                  if (!parse_real(v, 0, 1, f.io_error_rate))
                      return refused("--io-error-rate needs a share from 0 to 1", v);
                  return std::string();
              })
        ->group(faults);
    add_value(app, "--reply-delay", "MS",
              "delay every reply by MS milliseconds (default: 0; not a fault)",
              [&](const std::string& v) {
                  if (!parse_real(v, 0, 3600000, f.reply_delay_ms))
                      return refused("--reply-delay needs milliseconds from 0 to 3600000", v);
                  return std::string();
              })
        ->group(faults);
    add_value(app, "--stall-after", "N",
              "stop reading and answering after N requests, the connection left open",
              [&](const std::string& v) {
                  uint64_t n;
                  if (!parse_count(v, UINT64_MAX, n))
                      return refused("--stall-after needs a number of requests", v);
                  f.stall_after = n;
                  return std::string();
              })
        ->group(faults);
    add_value(app, "--fault-limit", "K",
              "at most K faults in all, then serve normally (default: 0, no limit)",
              [&](const std::string& v) {
                  if (!parse_count(v, UINT64_MAX, f.fault_limit))
                      return refused("--fault-limit needs a number (0: no limit)", v);
                  return std::string();
              })
        ->group(faults);
}

// Describes the command line to `app`. The actions of the options store into `o` and set
// `jitter_given` and `mode_given` when --drop-jitter and --drop-mode come, so all three must
// outlive the parse.
void describe_options(CLI::App& app, Options& o, bool& jitter_given, bool& mode_given) {
    app.description("A stand-in for the HXA disk service on loopback.");
    zevcli::setup(
        app, "hxa-simulator",
        std::string(zevcli::kSizeRule) +
            "\nIn IMAGE[:SIZE] and FILE[:SIZE] the text after the last ':' is the size; a file\n"
            "name with a ':' ends with one more ':'. A file without SIZE must exist. On start the\n"
            "simulator prints \"listening on ADDR:PORT\" on standard output (with\n"
            "--print-fingerprint after \"tls-fingerprint XX:...:XX\"); SIGINT or SIGTERM stop it.\n"
            "\n"
            "Examples:\n"
            "  hxa-simulator --token secret --disk /vm/web/disk0=disk0.img\n"
            "  hxa-simulator --token secret --disk /vm/new/disk0=new.img:10G --port 9400 --tls\n"
            "  hxa-simulator --token secret --lun 6000c2901234567890abcdef01234567=lun0.img:4G \\\n"
            "      --san-disk /vm/db/disk0=1G:6000c2901234567890abcdef01234567");
    app.allow_extras();  // reported as unknown options after parsing

    add_network_options(app, o);
    add_token_options(app, o);
    add_disk_options(app, o);
    add_limit_and_log_options(app, o);
    add_drop_options(app, o.faults, jitter_given, mode_given);
    add_answer_fault_options(app, o.faults);
}

}  // namespace

std::string usage_text() {
    Options o;
    bool jitter = false, mode = false;
    CLI::App app;
    describe_options(app, o, jitter, mode);
    return app.help();
}

std::string version_text() { return std::string("hxa-simulator ") + zevcli::version(); }

std::string missing_files(const Options& o) {
    // A file that another option creates (with its SIZE) is there once the disks are set up.
    std::set<std::string> created;
    for (const FlatDiskSpec& d : o.flat_disks)
        if (d.create_size != 0) created.insert(d.image);
    for (const LunSpec& l : o.luns)
        if (l.create_size != 0) created.insert(l.file);
    const auto missing = [&](const std::string& file) {
        struct stat st;
        return created.count(file) == 0 && stat(file.c_str(), &st) != 0 && errno == ENOENT;
    };
    for (const FlatDiskSpec& d : o.flat_disks)
        if (d.create_size == 0 && missing(d.image))
            return "--disk " + d.path + "=" + d.image + ": " + d.image +
                   " does not exist; give its size to create it (--disk " + d.path + "=" + d.image +
                   ":SIZE)";
    for (const LunSpec& l : o.luns)
        if (l.create_size == 0 && missing(l.file))
            return "--lun " + l.wwn_hex + "=" + l.file + ": " + l.file +
                   " does not exist; give its size to create it (--lun " + l.wwn_hex + "=" +
                   l.file + ":SIZE)";
    return "";
}

bool parse_options(int argc, char** argv, Options& out, std::string& error) {
    Options o;
    bool jitter = false, mode = false;
    CLI::App app;
    describe_options(app, o, jitter, mode);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out.help = true;
        return true;
    } catch (const CLI::CallForVersion&) {
        out.version = true;
        return true;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    if (!app.remaining().empty()) {
        error = "unknown option '" + app.remaining().front() + "'";
        return false;
    }
    if (o.cert_file.empty() != o.key_file.empty()) {
        error = "--cert and --key go together";
        return false;
    }
    if (o.print_fingerprint && !o.tls) {
        error = "--print-fingerprint needs --tls or --cert and --key";
        return false;
    }
    if ((jitter || mode) && o.faults.drop_after == 0) {
        error = std::string(jitter ? "--drop-jitter" : "--drop-mode") + " needs --drop-after";
        return false;
    }
    if (o.faults.drop_after != 0 && o.faults.drop_jitter >= o.faults.drop_after) {
        error = "--drop-jitter must be smaller than --drop-after";
        return false;
    }
    out = o;
    return true;
}

}  // namespace hxasim
