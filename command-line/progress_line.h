// The progress line of a long run: bytes done of a known total, redrawn in place on standard
// error while the work goes on, in the look of qv-disk's line:
//
//   applying: 1536.0 MiB of 4096.0 MiB   37%  210.3 MiB/s  0:12 left
//
// It is drawn only when standard error is a terminal, and only once the run has lasted a
// second, so that a quick run and a run into a file or a pipe print nothing. A thread of its
// own redraws it four times a second from the counter the work advances, so the work never
// waits for the terminal and a stalled input shows as a falling rate. finish() removes the line
// before the program writes its next message, so messages never end up inside it.
#ifndef ZEV_COMMAND_LINE_PROGRESS_LINE_H
#define ZEV_COMMAND_LINE_PROGRESS_LINE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace zevcli {

class ProgressLine {
  public:
    // Draws on standard error when it is a terminal; the one second counts from here.
    ProgressLine();
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Begins a stage of the run: `label` (may be empty) and `total` bytes, with the counter at
    // 0 and the rate measured from now. A stage still shown is finished first.
    void start(const std::string& label, uint64_t total);
    // The bytes done of the current stage; the work adds to it or stores into it.
    std::atomic<uint64_t>& done() { return done_; }
    // Ends the stage: stops redrawing and removes the line if it was drawn.
    void finish();

    // The text of the line, without the carriage return and the erasing sequence; `rate` in
    // bytes per second (0: not known yet). qv-disk draws its line with it too.
    static std::string text(const std::string& label, uint64_t done, uint64_t total, double rate);

  private:
    using Clock = std::chrono::steady_clock;
    void redraw_until_finished();

    const bool terminal_;
    const Clock::time_point created_;
    Clock::time_point stage_start_;
    std::string label_;
    uint64_t total_ = 0;
    std::atomic<uint64_t> done_{0};
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool shown_ = false;
    std::thread drawer_;
};

}  // namespace zevcli

#endif  // ZEV_COMMAND_LINE_PROGRESS_LINE_H
