#include "retry.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "console.h"

namespace qvdisk {

bool Retrier::run(const std::string& who, Channel& channel,
                  const std::function<bool(Channel&, Failure&)>& step, Failure& f) {
    double delay = policy_.first_delay;
    for (unsigned attempt = 0;; ++attempt) {
        f = Failure();
        if (channel.ready(f) && step(channel, f)) return true;
        if (!f.may_pass || attempt >= policy_.retries || stopped()) return false;
        channel.drop();
        ++count_;
        char when[64];
        std::snprintf(when, sizeof when, "retry %u of %u in %.1f s", attempt + 1, policy_.retries,
                      delay);
        note(who + ": " + f.text + "; " + when);
        if (!pause(delay)) {
            f = Failure();
            return false;
        }
        delay = std::min(delay * 2, RetryPolicy::kMaxDelay);
    }
}

bool Retrier::pause(double seconds) {
    std::unique_lock<std::mutex> guard(lock_);
    return !wake_.wait_for(guard, std::chrono::duration<double>(seconds),
                           [this] { return stop_.load(); });
}

void Retrier::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
}

}  // namespace qvdisk
