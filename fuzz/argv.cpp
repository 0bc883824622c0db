// Fuzz target: the tool's argument walk. The tool's main, compiled under another name, runs
// on argument vectors made of fuzzed text and of words from a fixed table: the option names,
// block sizes at and around the limits, tiny files in a private working directory (equal and
// different sizes, empty, missing), a directory and /dev/null. Standard output goes to
// /dev/null; standard error is muted around each run (sanitizer reports keep their own
// descriptor). Every run must return 0 or 1 and leave no descriptor open.
#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

int zev_diff_tool_main(int argc, char** argv);

namespace {

const char* const kWords[] = {
    "a.img",
    "b.img",
    "c.img",
    "empty1",
    "empty2",
    "missing",
    "--block-size",
    "--log-file",
    "log.txt",
    "1",
    "4096",
    "65536",
    "0",
    "2113929216",
    "2113929217",
    "-1",
    "18446744073709551616",
    ".",
    "/dev/null",
};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];
constexpr size_t kMaxArgs = 9;

int g_devnull = -1;
int g_stderr = -1;
std::string g_dir;

void write_file(const char* name, size_t size, unsigned seed) {
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + seed) >> 3);
    FILE* f = fopen(name, "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, size, f) != size || fclose(f) != 0) abort();
}

void write_fixtures() {
    write_file("a.img", 3000, 1);
    write_file("b.img", 3000, 2);
    write_file("c.img", 3001, 1);
    write_file("empty1", 0, 0);
    write_file("empty2", 0, 0);
}

// Removes what a run may have left in the working directory (log files under fuzzed names)
// and writes the files again when a run appended its log to one of them, so runs do not
// depend on each other.
void clean_directory() {
    const std::pair<const char*, off_t> sizes[] = {
        {"a.img", 3000}, {"b.img", 3000}, {"c.img", 3001}, {"empty1", 0}, {"empty2", 0}};
    for (const auto& [name, size] : sizes) {
        struct stat st;
        if (stat(name, &st) != 0 || st.st_size != size) {
            write_fixtures();
            break;
        }
    }
    DIR* d = opendir(".");
    if (d == nullptr) abort();
    std::vector<std::string> extra;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || name == "a.img" || name == "b.img" || name == "c.img" ||
            name == "empty1" || name == "empty2")
            continue;
        extra.push_back(name);
    }
    closedir(d);
    for (const auto& name : extra) unlink(name.c_str());
}

void remove_directory() {
    if (chdir("/") != 0) return;
    for (const char* name : {"a.img", "b.img", "c.img", "empty1", "empty2"})
        unlink((g_dir + "/" + name).c_str());
    rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/zev-fuzz-argv-XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0) abort();
    g_dir = tmpl;
    atexit(remove_directory);
    write_fixtures();
    g_devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    g_stderr = dup(STDERR_FILENO);
    if (g_devnull < 0 || g_stderr < 0 || dup2(g_devnull, STDOUT_FILENO) < 0) abort();
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(g_stderr)));
    return 0;
}

// Input: argument texts separated by zero bytes. A one-byte text from 0x01 to 0x1F is a word
// of the table (0x01 the first); any other text is taken as it is, with '/' turned into '_' so that
// a fuzzed log file name stays inside the working directory.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"zev-block-diff-tool"};
    size_t at = 0;
    while (at < size && args.size() < kMaxArgs) {
        const uint8_t* end = static_cast<const uint8_t*>(memchr(data + at, 0, size - at));
        const size_t n = end == nullptr ? size - at : static_cast<size_t>(end - (data + at));
        std::string text(reinterpret_cast<const char*>(data + at), n);
        if (n == 1 && data[at] < 0x20) {
            text = kWords[(data[at] - 1u) % kWordCount];
        } else {
            for (char& c : text)
                if (c == '/') c = '_';
        }
        args.push_back(text);
        at += n + 1;
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    const int fd_mark = dup(g_devnull);
    close(fd_mark);
    dup2(g_devnull, STDERR_FILENO);
    const int status = zev_diff_tool_main(static_cast<int>(args.size()), argv.data());
    fflush(stdout);
    fflush(stderr);
    dup2(g_stderr, STDERR_FILENO);
    if (status != 0 && status != 1) {
        fprintf(stderr, "exit status %d\n", status);
        abort();
    }
    const int fd_after = dup(g_devnull);
    close(fd_after);
    if (fd_after != fd_mark) {
        fprintf(stderr, "a descriptor was left open (next free %d, before %d)\n", fd_after,
                fd_mark);
        abort();
    }
    clean_directory();
    return 0;
}
