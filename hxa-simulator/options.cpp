#include "options.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdlib>

namespace hxasim {

const char* usage_text() {
    return "usage: hxa-simulator [options]\n"
           "  --address A              IPv4 loopback address to listen on (default 127.0.0.1)\n"
           "  --port P                 TCP port; 0 picks a free one (default 0)\n"
           "  --tls                    serve TLS with a throwaway self-signed certificate\n"
           "  --cert FILE --key FILE   serve TLS with this PEM certificate and key\n"
           "  --token T                accept token T with read-write access (repeatable)\n"
           "  --read-only-token T      accept token T for reading only (repeatable)\n"
           "  --disk PATH=IMAGE        serve disk PATH from the flat image file IMAGE (LAN only)\n"
           "  --lun WWN=FILE[:SIZE]    a LUN with identifier WWN (32 hex digits) held in FILE;\n"
           "                           with SIZE the file is created or extended (sparse)\n"
           "  --san-disk PATH=SIZE:WWN[,WWN...]\n"
           "                           a sparse disk of SIZE bytes whose storage is allocated\n"
           "                           in chunks on the LUNs, round-robin (LAN and SAN)\n"
           "  --chunk-size N           allocation unit of LUN-backed disks (default 1M)\n"
           "  --max-extents N          most extents in one address map (default 65536)\n"
           "  --max-connections N      concurrent connections (default 64)\n"
           "  --lenient-headers        accept requests with a wrong magic or checksum\n"
           "  --quiet | --verbose      log only errors | also log every extent\n"
           "  --help\n"
           "Sizes take the suffixes K, M, G (binary). On start the simulator prints\n"
           "\"listening on ADDR:PORT\" on standard output; SIGINT or SIGTERM stop it.\n";
}

bool parse_size(const std::string& text, uint64_t& out) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    size_t i = 0;
    uint64_t v = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        uint64_t d = static_cast<uint64_t>(text[i] - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
        ++i;
    }
    unsigned shift = 0;
    if (i < text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[i]))) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            default:
                return false;
        }
        ++i;
    }
    if (i != text.size()) return false;
    if (shift != 0 && v > (UINT64_MAX >> shift)) return false;
    out = v << shift;
    return true;
}

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

bool parse_uint(const std::string& text, uint64_t max, uint64_t& out) {
    uint64_t v;
    if (!parse_size(text, v) || v > max) return false;
    out = v;
    return true;
}

bool is_loopback(const std::string& address) {
    struct in_addr a;
    if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace

bool parse_options(int argc, char** argv, Options& out, std::string& error) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            v = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            o.help = true;
        } else if (arg == "--address") {
            if (!value(v)) return false;
            if (!is_loopback(v)) {
                error = "--address must be an IPv4 loopback address (127.x.x.x), got '" + v + "'";
                return false;
            }
            o.address = v;
        } else if (arg == "--port") {
            uint64_t p;
            if (!value(v)) return false;
            if (!parse_uint(v, 65535, p) ||
                v.find_first_not_of("0123456789") != std::string::npos) {
                error = "--port needs a number from 0 to 65535, got '" + v + "'";
                return false;
            }
            o.port = static_cast<uint16_t>(p);
        } else if (arg == "--tls") {
            o.tls = true;
        } else if (arg == "--cert") {
            if (!value(o.cert_file)) return false;
            o.tls = true;
        } else if (arg == "--key") {
            if (!value(o.key_file)) return false;
            o.tls = true;
        } else if (arg == "--token" || arg == "--read-only-token") {
            if (!value(v)) return false;
            if (v.empty() || v.size() > 127) {
                error = arg + " needs 1 to 127 characters";
                return false;
            }
            o.tokens.push_back({v, arg == "--token"});
        } else if (arg == "--disk") {
            FlatDiskSpec d;
            if (!value(v)) return false;
            if (!split_at(v, '=', d.path, d.image)) {
                error = "--disk needs PATH=IMAGE, got '" + v + "'";
                return false;
            }
            o.flat_disks.push_back(d);
        } else if (arg == "--lun") {
            LunSpec l;
            std::string wwn, rest;
            if (!value(v)) return false;
            if (!split_at(v, '=', wwn, rest) || !parse_wwn(wwn, l.wwn_hex)) {
                error = "--lun needs WWN=FILE[:SIZE] with 32 hex digits as WWN, got '" + v + "'";
                return false;
            }
            l.file = rest;
            size_t colon = rest.rfind(':');
            uint64_t size;
            if (colon != std::string::npos && colon > 0 &&
                parse_size(rest.substr(colon + 1), size)) {
                if (size == 0) {
                    error = "--lun size must not be 0";
                    return false;
                }
                l.file = rest.substr(0, colon);
                l.create_size = size;
            }
            o.luns.push_back(l);
        } else if (arg == "--san-disk") {
            LunDiskSpec d;
            std::string rest, size_text, list;
            if (!value(v)) return false;
            if (!split_at(v, '=', d.path, rest) || !split_at(rest, ':', size_text, list) ||
                !parse_size(size_text, d.size) || d.size == 0) {
                error = "--san-disk needs PATH=SIZE:WWN[,WWN...], got '" + v + "'";
                return false;
            }
            size_t start = 0;
            while (start <= list.size()) {
                size_t comma = list.find(',', start);
                std::string item = list.substr(
                    start, comma == std::string::npos ? std::string::npos : comma - start);
                std::string hex;
                if (!parse_wwn(item, hex)) {
                    error = "--san-disk: '" + item + "' is not 32 hexadecimal digits";
                    return false;
                }
                d.wwns.push_back(hex);
                if (comma == std::string::npos) break;
                start = comma + 1;
            }
            o.lun_disks.push_back(d);
        } else if (arg == "--chunk-size") {
            if (!value(v)) return false;
            if (!parse_size(v, o.chunk_size) || o.chunk_size < 4096 || o.chunk_size % 4096 != 0 ||
                o.chunk_size > (uint64_t(1) << 30)) {
                error = "--chunk-size must be a multiple of 4K from 4K to 1G, got '" + v + "'";
                return false;
            }
        } else if (arg == "--max-extents") {
            uint64_t n;
            if (!value(v)) return false;
            if (!parse_uint(v, 1 << 20, n) || n == 0) {
                error = "--max-extents must be from 1 to 1048576, got '" + v + "'";
                return false;
            }
            o.max_extents = static_cast<uint32_t>(n);
        } else if (arg == "--max-connections") {
            uint64_t n;
            if (!value(v)) return false;
            if (!parse_uint(v, 1024, n) || n == 0) {
                error = "--max-connections must be from 1 to 1024, got '" + v + "'";
                return false;
            }
            o.max_connections = static_cast<unsigned>(n);
        } else if (arg == "--lenient-headers") {
            o.strict_headers = false;
        } else if (arg == "--quiet") {
            o.verbosity = Verbosity::kQuiet;
        } else if (arg == "--verbose") {
            o.verbosity = Verbosity::kVerbose;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (o.cert_file.empty() != o.key_file.empty()) {
        error = "--cert and --key go together";
        return false;
    }
    out = o;
    return true;
}

}  // namespace hxasim
