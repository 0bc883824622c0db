// Faults injected on demand: connections cut after a number of bytes, transfers answered
// with an I/O failure, connections that stop answering, delayed replies. What happens to a
// connection follows from the seed and the connection's number, never from timing, so two
// runs with the same options and the same client behaviour inject the same faults.
#ifndef HXA_SIMULATOR_FAULTS_H
#define HXA_SIMULATOR_FAULTS_H

#include <atomic>
#include <cstdint>
#include <string>

#include "options.h"

namespace hxasim {

// splitmix64: one independent sequence for every (seed, stream) pair.
class Random {
  public:
    Random(uint64_t seed, uint64_t stream);
    uint64_t next();
    // Uniform in [lo, hi]; needs lo <= hi < UINT64_MAX.
    uint64_t between(uint64_t lo, uint64_t hi);
    // Uniform in [0, 1).
    double unit();

  private:
    uint64_t state_;
};

// The fault settings and the number of faults injected so far, shared by all connections.
class FaultBudget {
  public:
    explicit FaultBudget(const FaultSettings& settings) : settings_(settings) {}
    const FaultSettings& settings() const { return settings_; }
    // Takes the next fault: true with its label ("fault 3", or "fault 3 of 5" under a
    // limit), false once the limit is used up.
    bool claim(std::string& label);

  private:
    const FaultSettings settings_;
    std::atomic<uint64_t> claimed_{0};
};

// The faults of one connection.
class ConnectionFaults {
  public:
    ConnectionFaults(FaultBudget& budget, uint64_t conn);
    uint64_t conn() const { return conn_; }
    // Bytes the connection may move before it is cut; 0: never.
    uint64_t drop_limit() const { return drop_limit_; }
    DropMode drop_mode() const { return budget_.settings().drop_mode; }
    // The connection reached its drop limit: true with the fault's label when it is to be
    // cut; false when the fault limit is used up, and the connection is then never cut.
    bool claim_drop(std::string& label);
    // Draws whether the transfer about to be carried out fails instead; true with the label.
    bool io_error(std::string& label);
    // Whether the connection stalls now, with `answered` requests answered; true with the
    // label.
    bool stall(uint64_t answered, std::string& label);
    double reply_delay_ms() const { return budget_.settings().reply_delay_ms; }

  private:
    FaultBudget& budget_;
    const uint64_t conn_;
    Random random_;
    uint64_t drop_limit_ = 0;
};

// One line for the start-up log: the faults that are switched on; "" when none is.
std::string describe_faults(const FaultSettings& settings);

}  // namespace hxasim

#endif  // HXA_SIMULATOR_FAULTS_H
