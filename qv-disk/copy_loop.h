// The copy loop: moves a range from one end to the other in requests, over one or more
// workers that each have channels of their own. It holds the retries, the journal and the
// rate limit once, for every direction and transport: it knows neither which end is the
// disk nor where the bytes go.
#ifndef QV_DISK_COPY_LOOP_H
#define QV_DISK_COPY_LOOP_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "block-manifest.h"
#include "copy_ends.h"
#include "journal.h"
#include "retry.h"
#include "sha256.h"

namespace qvdisk {

struct CopyPlan {
    uint64_t length = 0;        // bytes of the range
    uint64_t request_size = 0;  // bytes per request; request i starts at i * request_size
    std::vector<bool> done;     // requests finished by an earlier run (empty: none)
    unsigned connections = 1;
    RetryPolicy retry;
    double rate = 0;      // bytes per second over all workers together; 0: no cap
    bool digest = false;  // SHA-256 of the whole range, in order, as it moves
    // The SHA-256 of every block of the range, hashed by the workers as the bytes move;
    // requests finished before are read again for it. Requests must hold whole blocks.
    zev::Manifest* manifest = nullptr;
};

class CopyLoop {
  public:
    // `replay` is the end that holds the bytes of requests finished before, read again only
    // for the digest. `journal` may be null.
    CopyLoop(const CopyPlan& plan, End& from, End& to, End& replay, Journal* journal);
    ~CopyLoop();
    CopyLoop(const CopyLoop&) = delete;
    CopyLoop& operator=(const CopyLoop&) = delete;

    // Starts the workers; false when none could be started (failures() says why).
    void start();
    // Waits for the workers to end.
    void join();

    // Stops the workers at their next request (their requests in flight finish).
    void stop();
    bool running() const { return running_.load() > 0; }
    // Readable whenever the last worker has ended.
    int wake_fd() const { return wake_; }
    unsigned workers() const { return workers_; }
    // Bytes of the range that are at their destination, counting those of an earlier run.
    uint64_t done_bytes() const { return earlier_ + moved_.load(); }
    // Bytes moved by this run.
    uint64_t moved_bytes() const { return moved_.load(); }
    uint64_t earlier_bytes() const { return earlier_; }
    uint64_t retries() const { return retrier_.count(); }
    std::vector<std::string> failures();
    // Seconds from start() to the end of the last worker (or until now).
    double seconds() const;
    // The SHA-256 of the range in hexadecimal, once every request has passed.
    std::string digest() const { return digest_hex_; }

  private:
    void work(unsigned id);
    bool step(const std::string& who, uint64_t index, std::vector<char>& buf, Channel& source,
              Channel& sink, Channel& replay, zev::BlockHasher& hasher);
    // Every request passes through a worker, moved now or read again from the local end.
    bool every_request() const { return plan_.digest || plan_.manifest != nullptr; }
    bool attempt(const std::string& who, Channel& channel,
                 const std::function<bool(Channel&, Failure&)>& step);
    void fail(const std::string& why);
    void finished();
    void wake();
    // In-order passage for the digest and for sinks that cannot seek.
    bool wait_turn(uint64_t index);
    void end_turn();
    bool pace(uint64_t bytes);

    CopyPlan plan_;
    End& from_;
    End& to_;
    End& replay_;
    Journal* journal_;
    uint64_t requests_;
    uint64_t earlier_ = 0;
    bool ordered_;
    unsigned workers_ = 0;
    Retrier retrier_;
    std::atomic<uint64_t> next_{0};
    std::atomic<uint64_t> moved_{0};
    std::atomic<unsigned> running_{0};
    int wake_;
    std::vector<std::thread> threads_;

    std::mutex lock_;
    std::condition_variable turn_changed_;
    uint64_t turn_ = 0;
    std::unique_ptr<zev::Sha256> digest_;
    std::string digest_hex_;
    std::vector<std::string> failures_;

    std::mutex rate_lock_;
    std::chrono::steady_clock::time_point next_start_{};
    std::chrono::steady_clock::time_point started_{}, ended_{};
};

}  // namespace qvdisk

#endif  // QV_DISK_COPY_LOOP_H
