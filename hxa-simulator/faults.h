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

// Where faults are claimed: every fault injected takes the next number from it, and may be
// refused one.
class FaultSource {
  public:
    virtual ~FaultSource() = default;
    // Takes the next fault: true with its label ("fault 3"), false when none may be injected.
    virtual bool claim(std::string& label) = 0;
};

// Numbers the faults of all connections.
class FaultCounter : public FaultSource {
  public:
    bool claim(std::string& label) override;

  private:
    std::atomic<uint64_t> claimed_{0};
};

// At most `limit` faults over all connections, then none: a layer over the source it
// limits. Its labels say the limit ("fault 3 of 5"); it logs once when the limit is reached.
class FaultLimit : public FaultSource {
  public:
    FaultLimit(FaultSource& next, uint64_t limit) : next_(next), limit_(limit) {}
    bool claim(std::string& label) override;

  private:
    FaultSource& next_;
    const uint64_t limit_;
    std::atomic<uint64_t> taken_{0};
};

// The faults of one connection: what it draws from the settings, the seed and its number.
class ConnectionFaults {
  public:
    ConnectionFaults(const FaultSettings& settings, FaultSource& source, uint64_t conn);
    const FaultSettings& settings() const { return settings_; }
    uint64_t conn() const { return conn_; }
    // Bytes the connection may move before it is cut; 0: never.
    uint64_t drop_limit() const { return drop_limit_; }
    // The connection reached its drop limit: true with the fault's label when it is to be
    // cut; false when no fault may be injected, and the connection is then never cut.
    bool claim_drop(std::string& label);
    // Draws whether the transfer about to be carried out fails instead; true with the label.
    bool io_error(std::string& label);
    // Whether the connection stalls now, with `answered` requests answered; true with the
    // label.
    bool stall(uint64_t answered, std::string& label);

  private:
    const FaultSettings& settings_;
    FaultSource& source_;
    const uint64_t conn_;
    Random random_;
    uint64_t drop_limit_ = 0;
};

// One line for the start-up log: the faults that are switched on; "" when none is.
std::string describe_faults(const FaultSettings& settings);

}  // namespace hxasim

#endif  // HXA_SIMULATOR_FAULTS_H
