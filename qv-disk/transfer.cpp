#include "transfer.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "console.h"

namespace qvdisk {
namespace {

using Clock = std::chrono::steady_clock;

// Holes are made in units of a file-system block: a unit of zeros is skipped, not written.
constexpr uint64_t kHoleUnit = 4096;
constexpr double kMiB = 1024.0 * 1024.0;

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// A stretch of the disk range that one connection moves.
struct Part {
    uint64_t begin;
    uint64_t end;
};

// Splits the range into at most `n` contiguous parts of whole requests.
std::vector<Part> split(uint64_t offset, uint64_t length, uint64_t request, unsigned n) {
    uint64_t requests = (length + request - 1) / request;
    uint64_t parts = std::min<uint64_t>(n, requests);
    std::vector<Part> out;
    uint64_t begin = offset;
    for (uint64_t i = 0; i < parts; ++i) {
        uint64_t count = requests / parts + (i < requests % parts ? 1 : 0);
        uint64_t end = std::min(offset + length, begin + count * request);
        out.push_back({begin, end});
        begin = end;
    }
    return out;
}

bool all_zero(const char* p, size_t n) {
    return n == 0 || (p[0] == 0 && !std::memcmp(p, p + 1, n - 1));
}

// Moves exactly `n` bytes at `pos` with pread or pwrite, going on after short transfers and
// interruptions; false with errno set (`at_end` when the file gives or takes no more).
template <typename Byte, typename Io>
bool positioned_all(Io io, int fd, Byte* p, size_t n, uint64_t pos, int at_end) {
    while (n > 0) {
        ssize_t moved = io(fd, p, n, static_cast<off_t>(pos));
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) {
            if (moved == 0) errno = at_end;
            return false;
        }
        p += moved;
        n -= static_cast<size_t>(moved);
        pos += static_cast<uint64_t>(moved);
    }
    return true;
}

bool pwrite_all(int fd, const char* p, size_t n, uint64_t pos) {
    return positioned_all(::pwrite, fd, p, n, pos, EIO);
}

bool pread_all(int fd, char* p, size_t n, uint64_t pos) {
    return positioned_all(::pread, fd, p, n, pos, ENODATA);
}

// Writes a block read from the disk at file position `pos`. Sparse: runs of non-zero units
// are written, units of zeros are left as holes of the new file.
bool store(int fd, const char* p, size_t n, uint64_t pos, bool sparse) {
    if (!sparse) return pwrite_all(fd, p, n, pos);
    size_t i = 0;
    while (i < n) {
        size_t unit =
            static_cast<size_t>(std::min<uint64_t>(n - i, kHoleUnit - (pos + i) % kHoleUnit));
        if (all_zero(p + i, unit)) {
            i += unit;
            continue;
        }
        size_t run = i + unit;
        while (run < n) {
            size_t next = std::min<size_t>(n - run, kHoleUnit);
            if (all_zero(p + run, next)) break;
            run += next;
        }
        if (!pwrite_all(fd, p + i, run - i, pos + i)) return false;
        i = run;
    }
    return true;
}

std::string hex(const unsigned char* d, unsigned n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

// SHA-256 of the first `length` bytes of `fd`; "" with `error` set on failure.
std::string sha256_of(int fd, uint64_t length, std::string& error) {
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    if (md == nullptr || EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(md);
        error = "SHA-256 cannot be set up";
        return "";
    }
    std::vector<char> buf(1 << 20);
    std::string result;
    uint64_t pos = 0;
    for (; pos < length; pos += buf.size()) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), length - pos));
        if (!pread_all(fd, buf.data(), n, pos)) {
            error = system_error("reading for SHA-256");
            break;
        }
        EVP_DigestUpdate(md, buf.data(), n);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    if (pos >= length && EVP_DigestFinal_ex(md, digest, &size) == 1) result = hex(digest, size);
    EVP_MD_CTX_free(md);
    return result;
}

std::string mib(uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f MiB", bytes / kMiB);
    return b;
}

// The run as the threads share it.
class Run {
  public:
    Run(const Transfer& t, int fd, unsigned parts) : t_(t), fd_(fd), running_(parts) {}
    ~Run() {
        if (wake_ >= 0) close(wake_);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Moves one part over a connection of its own.
    void part(Part p) {
        try {
            move(p);
        } catch (const std::bad_alloc&) {
            fail("out of memory for a request of " + std::to_string(t_.request_size) + " bytes");
        } catch (const std::exception& e) {
            fail(e.what());
        }
        finished();
    }

    void fail(const std::string& why) {
        std::lock_guard<std::mutex> guard(lock_);
        failures_.push_back(why);
        stop_ = true;
    }
    // Each part ends with finished(), also one whose thread could not be started; the last
    // one wakes the supervising thread.
    void finished() {
        uint64_t one = 1;
        if (running_.fetch_sub(1) == 1 && wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
            // the supervising thread then notices at its next tick
        }
    }
    bool running() const { return running_.load() > 0; }
    int wake_fd() const { return wake_; }
    void stop() { stop_ = true; }
    uint64_t done() const { return done_.load(); }
    std::vector<std::string> failures() {
        std::lock_guard<std::mutex> guard(lock_);
        return failures_;
    }

  private:
    void move(Part p) {
        Session session;
        if (!session.open(t_.where, t_.reading ? OPEN_READONLY : OPEN_READWRITE)) {
            fail(session.failure());
            return;
        }
        std::vector<char> buf(static_cast<size_t>(std::min(t_.request_size, p.end - p.begin)));
        for (uint64_t off = p.begin; off < p.end && !stop_;) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), p.end - off));
            uint64_t pos = off - t_.offset;  // position in the local file
            if (t_.reading) {
                if (!session.read(off, n, buf.data())) return fail(session.failure());
                if (!store(fd_, buf.data(), n, pos, t_.sparse))
                    return fail(system_error("writing " + t_.local + ".incomplete"));
            } else {
                if (!pread_all(fd_, buf.data(), n, pos))
                    return fail(system_error("reading " + t_.local));
                if (!session.write(off, n, buf.data())) return fail(session.failure());
            }
            done_.fetch_add(n);
            off += n;
        }
        if (!session.end()) fail(session.failure());
    }

    const Transfer& t_;
    int fd_;
    std::atomic<unsigned> running_;
    int wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> done_{0};
    std::mutex lock_;
    std::vector<std::string> failures_;
};

void draw_progress(uint64_t done, uint64_t total, double seconds) {
    double rate = seconds > 0 ? done / kMiB / seconds : 0;
    char line[160];
    if (rate > 0) {
        long left = static_cast<long>((total - done) / kMiB / rate + 0.5);
        std::snprintf(line, sizeof line, "%s of %s  %3.0f%%  %.1f MiB/s  %ld:%02ld left",
                      mib(done).c_str(), mib(total).c_str(), 100.0 * done / total, rate, left / 60,
                      left % 60);
    } else {
        std::snprintf(line, sizeof line, "%s of %s", mib(done).c_str(), mib(total).c_str());
    }
    show_progress(line);
}

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// Waits for the threads, drawing progress and watching for SIGINT and SIGTERM, which the
// caller has blocked in every thread. The first signal stops the transfer after the requests
// in flight, the disks and connections closed; a second one ends the process at once.
// Returns the signal that stopped the run, or 0.
int supervise(Run& run, uint64_t total, Clock::time_point start) {
    sigset_t set = stop_signals();
    int signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    const bool progress = progress_wanted();
    int stopped_by = 0;
    while (run.running()) {
        pollfd fds[2] = {{run.wake_fd(), POLLIN, 0}, {signals, POLLIN, 0}};
        poll(fds, 2, 250);
        signalfd_siginfo info;
        int sig = 0;
        if (signals >= 0 && read(signals, &info, sizeof info) == sizeof info)
            sig = static_cast<int>(info.ssi_signo);
        if (sig != 0 && stopped_by != 0) {
            message("second signal: exiting at once");
            signal(sig, SIG_DFL);
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
            raise(sig);
        }
        if (sig != 0) {
            stopped_by = sig;
            run.stop();
            message(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                    ": finishing the requests in flight, then closing the disk and the "
                    "connection");
        }
        if (progress && run.running()) {
            std::chrono::duration<double> s = Clock::now() - start;
            draw_progress(run.done(), total, s.count());
        }
    }
    if (signals >= 0) close(signals);
    if (progress) clear_progress();
    return stopped_by;
}

// Ends a read: the output complete, flushed and renamed, or kept as incomplete.
bool finish_output(int fd, const Transfer& t, uint64_t length, bool ok, uint64_t done) {
    const std::string partial = t.local + ".incomplete";
    if (ok) {
        // The size covers trailing holes of a sparse copy.
        if (ftruncate(fd, static_cast<off_t>(length)) != 0 || fsync(fd) != 0) {
            message(system_error("flushing " + partial));
            ok = false;
        }
    } else {
        fsync(fd);  // keep what arrived
    }
    if (close(fd) != 0 && ok) {
        message(system_error("closing " + partial));
        ok = false;
    }
    if (ok && rename(partial.c_str(), t.local.c_str()) != 0) {
        message(system_error("renaming " + partial + " to " + t.local));
        ok = false;
    }
    if (ok) {
        // The new name lasts only once its directory is on stable storage.
        std::string dir = t.local.find('/') == std::string::npos
                              ? "."
                              : t.local.substr(0, t.local.rfind('/') + 1);
        int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (d >= 0) {
            fsync(d);
            close(d);
        }
        return true;
    }
    if (done == 0) {
        unlink(partial.c_str());
    } else {
        message("partial output kept as " + partial + " (" + std::to_string(done) + " of " +
                std::to_string(length) + " bytes)");
    }
    return false;
}

}  // namespace

int run_transfer(const Transfer& t) {
    uint64_t length = 0;
    int fd = -1;
    if (t.reading) {
        if (t.offset >= t.disk_size) {
            message("--offset " + std::to_string(t.offset) + " is not below --size " +
                    std::to_string(t.disk_size));
            return 1;
        }
        length = t.length.value_or(t.disk_size - t.offset);
        if (length > t.disk_size - t.offset) {
            message("the range ends beyond --size " + std::to_string(t.disk_size));
            return 1;
        }
        std::string partial = t.local + ".incomplete";
        fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            message(system_error(partial));
            return 1;
        }
    } else {
        // The size by seeking to the end, so that a block device can be the input.
        fd = open(t.local.c_str(), O_RDONLY | O_CLOEXEC);
        off_t end = fd < 0 ? -1 : lseek(fd, 0, SEEK_END);
        if (end < 0) {
            message(system_error(t.local));
            if (fd >= 0) close(fd);
            return 1;
        }
        uint64_t available = static_cast<uint64_t>(end);
        length = t.length.value_or(available);
        if (length > available || length > UINT64_MAX - t.offset) {
            message(t.local + " holds " + std::to_string(available) +
                    " bytes, fewer than --length, or the range passes the largest offset");
            close(fd);
            return 1;
        }
    }
    if (length == 0) {
        message("nothing to transfer: the range is empty");
        close(fd);
        if (t.reading) unlink((t.local + ".incomplete").c_str());
        return 1;
    }

    // Signals are taken by the supervising loop only; the transfer threads inherit the mask.
    sigset_t set = stop_signals(), old;
    pthread_sigmask(SIG_BLOCK, &set, &old);

    const std::vector<Part> parts = split(t.offset, length, t.request_size, t.connections);
    Run run(t, fd, static_cast<unsigned>(parts.size()));
    std::vector<std::thread> threads;
    const Clock::time_point start = Clock::now();
    for (const Part& p : parts) {
        try {
            threads.emplace_back(&Run::part, &run, p);
        } catch (const std::exception& e) {
            run.fail(std::string("cannot start a transfer thread: ") + e.what());
            for (size_t i = threads.size(); i < parts.size(); ++i) run.finished();
            break;
        }
    }
    int stopped_by = supervise(run, length, start);
    for (auto& th : threads) th.join();
    std::chrono::duration<double> seconds = Clock::now() - start;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    std::vector<std::string> failures = run.failures();
    bool ok = failures.empty() && stopped_by == 0;
    if (!failures.empty()) {
        std::string more = failures.size() > 1 ? " (and " + std::to_string(failures.size() - 1) +
                                                     " more failure(s) on other connections)"
                                               : "";
        message(failures.front() + more);
    }
    if (stopped_by != 0) message("interrupted after " + std::to_string(run.done()) + " bytes");

    if (t.reading) {
        ok = finish_output(fd, t, length, ok, run.done());
    }
    std::string digest;
    if (ok && t.sha256) {
        std::string error;
        int hfd = t.reading ? open(t.local.c_str(), O_RDONLY | O_CLOEXEC) : fd;
        if (hfd < 0) error = system_error(t.local);
        if (hfd >= 0) digest = sha256_of(hfd, length, error);
        if (t.reading && hfd >= 0) close(hfd);
        if (digest.empty()) {
            message(error);
            ok = false;
        }
    }
    if (!t.reading) close(fd);
    if (!ok) return 1;

    double s = seconds.count();
    std::printf(
        "%s %llu bytes %s %s at offset %llu %s %s in %.2f s (%.1f MiB/s), %s%s, %u "
        "connection%s%s%s\n",
        t.reading ? "read" : "wrote", static_cast<unsigned long long>(length),
        t.reading ? "of" : "to", t.where.disk.c_str(), static_cast<unsigned long long>(t.offset),
        t.reading ? "into" : "from", t.local.c_str(), s, s > 0 ? length / kMiB / s : 0.0,
        t.where.transport == TRANS_SAN ? "SAN" : "LAN", t.where.tls ? "+TLS" : "",
        static_cast<unsigned>(parts.size()), parts.size() > 1 ? "s" : "",
        digest.empty() ? "" : ", sha256 ", digest.c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace qvdisk
