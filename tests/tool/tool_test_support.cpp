#include "tool_test_support.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <string.h>

#include <regex>

namespace zev_test {

std::string tool_path() { return ZEV_TOOL_PATH; }

testcommon::RunResult run_tool(const std::vector<std::string>& args,
                               const testcommon::RunOptions& options) {
    return testcommon::run_program(tool_path(), args, options);
}

std::string mask_seconds(const std::string& text) {
    static const std::regex kSeconds(" in [0-9]+\\.[0-9] s");
    return std::regex_replace(text, kSeconds, " in T s");
}

std::string mixed_content(size_t n, uint64_t seed) {
    static const char* const words[] = {"block ", "disk ",   "image ",   "backup ",  "the ",
                                        "data\n", "sector ", "virtual ", "machine ", "a\t"};
    std::string s;
    s.reserve(n);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 7;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    while (s.size() < n) {
        const size_t run = 1 + next() % 3000;
        switch (next() % 3) {
            case 0:
                s.append(run, '\0');
                break;
            case 1: {
                const size_t target = s.size() + run;
                while (s.size() < target) s += words[next() % 10];
                break;
            }
            default:
                s += testcommon::pattern<std::string>(run, next());
                break;
        }
    }
    s.resize(n);
    return s;
}

namespace {

bool take(const std::string& line, size_t* pos, const char* literal) {
    const size_t n = strlen(literal);
    if (line.compare(*pos, n, literal) != 0) return false;
    *pos += n;
    return true;
}

bool take_number(const std::string& line, size_t* pos, uint64_t* value) {
    const size_t start = *pos;
    uint64_t v = 0;
    while (*pos < line.size() && line[*pos] >= '0' && line[*pos] <= '9') {
        v = v * 10 + static_cast<uint64_t>(line[*pos] - '0');
        ++*pos;
    }
    const size_t digits = *pos - start;
    if (digits == 0 || (digits > 1 && line[start] == '0')) return false;
    *value = v;
    return true;
}

}  // namespace

std::vector<Record> parse_stream(const std::string& out) {
    std::vector<Record> records;
    if (!out.empty() && out.back() != '\n') ADD_FAILURE() << "stream does not end in a line break";
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        const std::string line = out.substr(start, end - start);
        start = end + 1;
        Record r;
        r.kind = Record::kChange;
        size_t pos = 0;
        bool ok = take(line, &pos, "{\"offset\":") && take_number(line, &pos, &r.offset) &&
                  take(line, &pos, ",\"length\":") && take_number(line, &pos, &r.length) &&
                  take(line, &pos, ",\"data\":\"");
        if (ok) {
            const size_t data_end = line.find('"', pos);
            ok = data_end != std::string::npos;
            if (ok) {
                r.data = line.substr(pos, data_end - pos);
                pos = data_end + 1;
                if (take(line, &pos, "}")) {
                    r.kind = Record::kChange;
                    ok = r.length > 0 && !r.data.empty();
                } else if (take(line, &pos, ",\"last\":false}")) {
                    r.kind = Record::kHeartbeat;
                    ok = r.length == 0 && r.data.empty();
                } else if (take(line, &pos, ",\"last\":true}")) {
                    r.kind = Record::kFinal;
                    ok = r.length == 0 && r.data.empty();
                } else {
                    ok = false;
                }
                ok = ok && pos == line.size();
            }
        }
        if (!ok) {
            ADD_FAILURE() << "malformed record: " << line.substr(0, 200);
            continue;
        }
        records.push_back(r);
    }
    return records;
}

std::string reference_base64_decode(const std::string& text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Character values looked up once in the alphabet string.
    static const std::vector<int> value = [] {
        std::vector<int> v(256, -1);
        for (size_t i = 0; i < alphabet.size(); ++i)
            v[static_cast<unsigned char>(alphabet[i])] = static_cast<int>(i);
        return v;
    }();
    std::string out;
    out.reserve(text.size() / 4 * 3);
    if (text.size() % 4 != 0) {
        ADD_FAILURE() << "Base64 text length " << text.size() << " is not a multiple of 4";
        return out;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t v = 0;
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=') {
                // Padding only in the last group, only at its end.
                if (i + 4 != text.size() || k < 2) ADD_FAILURE() << "misplaced padding";
                ++pad;
                v <<= 6;
                continue;
            }
            const int index = value[static_cast<unsigned char>(c)];
            if (index < 0 || pad != 0) {
                ADD_FAILURE() << "bad Base64 character " << static_cast<int>(c);
                return out;
            }
            v = (v << 6) | static_cast<uint32_t>(index);
        }
        out += static_cast<char>(v >> 16);
        if (pad < 2) out += static_cast<char>((v >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(v & 0xFF);
    }
    return out;
}

std::string decode_change_data(const std::string& text, uint64_t length) {
    const std::string compressed = reference_base64_decode(text);
    std::string plain(length + 16, '\0');
    const int n =
        LZ4_decompress_safe(compressed.data(), &plain[0], static_cast<int>(compressed.size()),
                            static_cast<int>(plain.size()));
    if (n < 0 || static_cast<uint64_t>(n) != length) {
        ADD_FAILURE() << "LZ4 data decompressed to " << n << " bytes, expected " << length;
        return std::string();
    }
    plain.resize(length);
    return plain;
}

std::string said(const std::string& program, const std::string& text) {
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        out += program + ": " + text.substr(at, next - at);
        at = next;
    }
    return out;
}

}  // namespace zev_test
