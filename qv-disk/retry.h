// Retrying a step of a copy on a channel: a failure that may pass gives up the channel
// (a new connection and a new open follow) and tries again after a wait that doubles; a
// failure that will not pass, or the last retry, ends it. Each retry is one line on
// standard error.
#ifndef QV_DISK_RETRY_H
#define QV_DISK_RETRY_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "copy_ends.h"

namespace qvdisk {

struct RetryPolicy {
    unsigned retries = 5;      // 0: no retry
    double first_delay = 1.0;  // seconds; doubled for each further retry, at most kMaxDelay
    static constexpr double kMaxDelay = 30.0;
};

class Retrier {
  public:
    explicit Retrier(const RetryPolicy& p) : policy_(p) {}

    // Makes `channel` ready and runs `step` on it until it succeeds. False with `f` set
    // when it failed for good; false with `f.text` empty when stopped while waiting.
    // `who` names the connection in the retry lines ("connection 2").
    bool run(const std::string& who, Channel& channel,
             const std::function<bool(Channel&, Failure&)>& step, Failure& f);

    // Waits `seconds` unless stopped first; false when stopped.
    bool pause(double seconds);
    void stop();
    bool stopped() const { return stop_.load(); }
    uint64_t count() const { return count_.load(); }

  private:
    RetryPolicy policy_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> count_{0};
    std::mutex lock_;
    std::condition_variable wake_;
};

}  // namespace qvdisk

#endif  // QV_DISK_RETRY_H
