#pragma once

// A GUI loop in plain C++: a queue of posted calls and one-shot timers, run
// by whichever thread made it, while it runs RunUntil or RunFor. It serves
// the tests and any program without a toolkit; it installs itself for its
// lifetime.

#include "HidGuiLoop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace korvalis {

class THidPlainLoop final : public IHidGuiLoop {
  public:
    // The calling thread becomes the GUI thread.
    THidPlainLoop();
    ~THidPlainLoop() override;
    THidPlainLoop(const THidPlainLoop&) = delete;
    THidPlainLoop& operator=(const THidPlainLoop&) = delete;

    void Post(std::function<void()> call) override;
    void PostDelayed(int milliseconds, std::function<void()> call) override;
    bool OnGuiThread() const override;

    // GUI thread: runs posted calls and due timers until pred holds or the
    // time is up; answers pred. Handlers may run it again inside a call.
    bool RunUntil(const std::function<bool()>& pred, int milliseconds);
    void RunFor(int milliseconds);
    // GUI thread: runs what is queued or due now, waiting at most
    // milliseconds for something to arrive; answers whether anything ran.
    bool ProcessEvents(int milliseconds = 0);

  private:
    using TClock = std::chrono::steady_clock;
    struct TTimer {
        TClock::time_point Due;
        uint64_t Order;
        std::function<void()> Call;
    };

    const std::thread::id FThread;
    std::mutex FLock;
    std::condition_variable FArrived;
    std::deque<std::function<void()>> FPosted;
    std::vector<TTimer> FTimers;
    uint64_t FNextOrder = 0;
};

} // namespace korvalis
