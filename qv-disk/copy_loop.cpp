#include "copy_loop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <stdexcept>

namespace qvdisk {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

CopyLoop::CopyLoop(const CopyPlan& plan, End& from, End& to, End& replay, Journal* journal)
    : plan_(plan),
      from_(from),
      to_(to),
      replay_(replay),
      journal_(journal),
      requests_((plan.length + plan.request_size - 1) / plan.request_size),
      ordered_(plan.digest || to.sequential()),
      retrier_(plan.retry),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    plan_.done.resize(requests_, false);
    for (uint64_t i = 0; i < requests_; ++i)
        if (plan_.done[i])
            earlier_ += std::min(plan_.request_size, plan_.length - i * plan_.request_size);
    if (plan_.digest) {
        digest_ = std::make_unique<zev::Sha256>();
        if (!digest_->ok()) failures_.push_back("SHA-256 cannot be set up");
    }
}

CopyLoop::~CopyLoop() {
    stop();
    join();
    if (wake_ >= 0) close(wake_);
}

void CopyLoop::start() {
    uint64_t left = static_cast<uint64_t>(std::count(plan_.done.begin(), plan_.done.end(), false));
    uint64_t work = every_request() ? requests_ : left;
    unsigned n = static_cast<unsigned>(std::min<uint64_t>(plan_.connections, work));
    if (!failures_.empty()) n = 0;
    workers_ = n;
    running_ = n;
    started_ = Clock::now();
    next_start_ = started_;
    for (unsigned i = 0; i < n; ++i) {
        try {
            threads_.emplace_back(&CopyLoop::work, this, i + 1);
        } catch (const std::exception& e) {
            fail(std::string("cannot start a transfer thread: ") + e.what());
            for (unsigned k = i; k < n; ++k) finished();
            break;
        }
    }
    if (n == 0) wake();
}

void CopyLoop::join() {
    for (auto& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
    if (ended_ == Clock::time_point{}) ended_ = Clock::now();
    if (digest_ != nullptr && turn_ == requests_ && failures_.empty() && digest_hex_.empty()) {
        unsigned char d[zev::kSha256Size];
        if (digest_->finish(d)) digest_hex_ = zev::to_hex(d, sizeof d);
    }
}

double CopyLoop::seconds() const {
    Clock::time_point end = ended_ == Clock::time_point{} ? Clock::now() : ended_;
    return std::chrono::duration<double>(end - started_).count();
}

void CopyLoop::stop() {
    retrier_.stop();
    std::lock_guard<std::mutex> guard(lock_);
    turn_changed_.notify_all();
}

void CopyLoop::fail(const std::string& why) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        failures_.push_back(why);
    }
    stop();
}

std::vector<std::string> CopyLoop::failures() {
    std::lock_guard<std::mutex> guard(lock_);
    return failures_;
}

// The last worker to end wakes the supervising thread.
void CopyLoop::finished() {
    if (running_.fetch_sub(1) == 1) wake();
}

void CopyLoop::wake() {
    uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
        // the supervising thread then notices at its next tick
    }
}

bool CopyLoop::wait_turn(uint64_t index) {
    std::unique_lock<std::mutex> guard(lock_);
    turn_changed_.wait(guard, [&] { return turn_ == index || retrier_.stopped(); });
    return turn_ == index && !retrier_.stopped();
}

void CopyLoop::end_turn() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++turn_;
    }
    turn_changed_.notify_all();
}

// Request starts are spaced so that the bytes over all workers keep to the rate. A request
// that ran late (a slow flush, a retry) may be made up for by starting the next ones sooner,
// but never more than a second's worth at once, so that an idle stretch gives no long burst.
bool CopyLoop::pace(uint64_t bytes) {
    if (plan_.rate <= 0) return true;
    constexpr std::chrono::seconds kCatchUp(1);
    Clock::time_point start;
    {
        std::lock_guard<std::mutex> guard(rate_lock_);
        start = std::max(next_start_, Clock::now() - kCatchUp);
        next_start_ = start + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(bytes / plan_.rate));
    }
    std::chrono::duration<double> wait = start - Clock::now();
    return wait.count() <= 0 || retrier_.pause(wait.count());
}

// Runs `step` on `channel` with retries; a failure for good is recorded (one ended by a
// stop is not: the stop has its own cause).
bool CopyLoop::attempt(const std::string& who, Channel& channel,
                       const std::function<bool(Channel&, Failure&)>& step) {
    Failure f;
    if (retrier_.run(who, channel, step, f)) return true;
    if (!f.text.empty()) fail(f.text);
    return false;
}

// One request: read from the source (or, for the digest of a request finished before, from
// the local file), through the in-order passage when there is one, written to the sink, then
// noted in the journal. A sink that cannot seek is written inside the passage. False when
// the worker must end.
bool CopyLoop::step(const std::string& who, uint64_t index, std::vector<char>& buf, Channel& source,
                    Channel& sink, Channel& replay, zev::BlockHasher& hasher) {
    const uint64_t pos = index * plan_.request_size;
    const size_t n = static_cast<size_t>(std::min(plan_.request_size, plan_.length - pos));
    char* data = buf.data();
    auto read = [&](Channel& c, Failure& f) { return c.read(pos, n, data, f); };
    auto write = [&](Channel& c, Failure& f) {
        if (!c.write(pos, n, data, f)) return false;
        moved_ += n;
        return true;
    };
    const bool earlier = plan_.done[index];
    if (earlier ? !attempt(who, replay, read) : !(pace(n) && attempt(who, source, read)))
        return false;
    if (plan_.manifest != nullptr)
        plan_.manifest->hash_blocks(hasher, pos / plan_.manifest->block_size(), data, n);
    // Preparing is local work on bytes already here: nothing a retry could change.
    Failure prepared;
    if (!earlier && !sink.prepare(pos, n, data, prepared)) {
        fail(prepared.text);
        return false;
    }
    const bool in_turn = !earlier && to_.sequential();
    if (ordered_) {
        if (!wait_turn(index)) return false;
        if (digest_ != nullptr) digest_->update(data, n);
        const bool ok = !in_turn || attempt(who, sink, write);
        end_turn();
        if (!ok) return false;
    }
    if (earlier) return true;
    if (!in_turn && !attempt(who, sink, write)) return false;
    Failure f;
    if (journal_ != nullptr && !journal_->completed(pos, n, to_, f)) {
        fail(f.text);
        return false;
    }
    return true;
}

void CopyLoop::work(unsigned id) {
    try {
        std::unique_ptr<Channel> source = from_.channel(), sink = to_.channel(),
                                 replay = replay_.channel();
        std::vector<char> buf(static_cast<size_t>(std::min(plan_.request_size, plan_.length)));
        const std::string who = "connection " + std::to_string(id);
        zev::BlockHasher hasher;
        if (plan_.manifest != nullptr && !hasher.ok())
            throw std::runtime_error("SHA-256 cannot be set up");
        while (!retrier_.stopped()) {
            uint64_t index = next_.fetch_add(1);
            if (index >= requests_) break;
            if (plan_.done[index] && !every_request()) continue;
            if (!step(who, index, buf, *source, *sink, *replay, hasher)) break;
        }
        // Both ends close in order; a close whose connection failed is given up, since the
        // service closes what a lost connection left open.
        for (Channel* c : {source.get(), sink.get()}) {
            Failure f;
            if (!c->finish(f) && !f.may_pass) fail(f.text);
        }
    } catch (const std::bad_alloc&) {
        fail("out of memory for a request of " + std::to_string(plan_.request_size) + " bytes");
    } catch (const std::exception& e) {
        fail(e.what());
    }
    finished();
}

}  // namespace qvdisk
