#include "process_test_util.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "test_host.h"

#ifndef QV_SDK_SOURCE_DIR
#error "QV_SDK_SOURCE_DIR must name the library's source directory"
#endif

namespace proctest {
namespace {

std::string render(int level, const std::string& text) {
    return std::to_string(level) + " " + text;
}

std::vector<std::vector<std::string>> source_files() {
    std::vector<std::vector<std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(QV_SDK_SOURCE_DIR)) {
        if (entry.path().extension() != ".cpp") continue;
        std::ifstream in(entry.path());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        files.push_back(std::move(lines));
    }
    return files;
}

}  // namespace

::testing::AssertionResult log_is(const ExpectedLog& expected) {
    std::vector<testhost::LogEntry> got = testhost::normalized_entries();
    std::ostringstream diff;
    size_t n = std::max(got.size(), expected.size());
    bool same = got.size() == expected.size();
    for (size_t i = 0; i < n; ++i) {
        std::string g = i < got.size() ? render(got[i].level, got[i].text) : "(none)";
        std::string e =
            i < expected.size() ? render(expected[i].first, expected[i].second) : "(none)";
        if (g != e) same = false;
        diff << (g == e ? "   " : " ! ") << "#" << i << " got      [" << g << "]\n";
        if (g != e) diff << "      expected [" << e << "]\n";
    }
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "log differs:\n" << diff.str();
}

::testing::AssertionResult line_numbers_point_at_source() {
    static const std::regex line_ref(R"(\(line ([0-9]+)\))");
    std::vector<std::vector<std::string>> files = source_files();
    if (files.empty()) return ::testing::AssertionFailure() << "no sources in " QV_SDK_SOURCE_DIR;
    for (const auto& entry : testhost::entries()) {
        std::smatch m;
        if (!std::regex_search(entry.text, m, line_ref)) continue;
        long line = std::strtol(m[1].str().c_str(), nullptr, 10);
        std::string prefix = entry.text.substr(0, entry.text.find_first_of("0123456789"));
        prefix = prefix.substr(0, prefix.find("(line"));
        bool found = false;
        for (const auto& lines : files)
            for (long l = line - 2; l <= line && !found; ++l)
                if (l >= 1 && static_cast<size_t>(l) <= lines.size() &&
                    lines[static_cast<size_t>(l - 1)].find(prefix) != std::string::npos)
                    found = true;
        if (!found)
            return ::testing::AssertionFailure() << "\"" << entry.text << "\": no statement with \""
                                                 << prefix << "\" at that line";
    }
    return ::testing::AssertionSuccess();
}

std::string make_temp_dir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return "";
    return buf.data();
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string in_subprocess(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return std::string("pipe: ") + std::strerror(errno);
    pid_t pid = fork();
    if (pid < 0) return std::string("fork: ") + std::strerror(errno);
    if (pid == 0) {
        close(fds[0]);
        std::string result;
        try {
            result = body();
        } catch (const std::exception& e) {
            result = std::string("exception: ") + e.what();
        }
        const char* p = result.data();
        size_t left = result.size();
        while (left > 0) {
            ssize_t n = write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        result += " (subprocess ended abnormally, wait status " + std::to_string(status) + ")";
    return result;
}

std::string fail_syscalls(const std::vector<int>& numbers, int error) {
    std::vector<sock_filter> prog;
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)));
    prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)));
    for (int nr : numbers) {
        prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(nr), 0, 1));
        prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) &
                                                                      SECCOMP_RET_DATA)));
    }
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog fprog{};
    fprog.len = static_cast<unsigned short>(prog.size());
    fprog.filter = prog.data();
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno);
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0)
        return std::string("seccomp filter: ") + std::strerror(errno);
    return "";
}

}  // namespace proctest
