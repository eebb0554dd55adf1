#include "PlainGuiLoop.h"

#include <algorithm>

namespace korvalis {

THidPlainLoop::THidPlainLoop() : FThread(std::this_thread::get_id()) {
    InstallHidGuiLoop(this);
}

THidPlainLoop::~THidPlainLoop() {
    ReleaseHidGuiLoop(this);
}

void THidPlainLoop::Post(std::function<void()> call) {
    {
        std::lock_guard lock(FLock);
        FPosted.push_back(std::move(call));
    }
    FArrived.notify_all();
}

void THidPlainLoop::PostDelayed(int milliseconds, std::function<void()> call) {
    std::lock_guard lock(FLock);
    FTimers.push_back(TTimer{TClock::now() + std::chrono::milliseconds(std::max(milliseconds, 0)),
                             FNextOrder++, std::move(call)});
}

bool THidPlainLoop::OnGuiThread() const {
    return std::this_thread::get_id() == FThread;
}

bool THidPlainLoop::ProcessEvents(int milliseconds) {
    const auto dueTimer = [this](TClock::time_point now) {
        auto first = FTimers.end();
        for (auto it = FTimers.begin(); it != FTimers.end(); ++it)
            if (it->Due <= now && (first == FTimers.end() || it->Due < first->Due ||
                                   (it->Due == first->Due && it->Order < first->Order)))
                first = it;
        return first;
    };
    size_t posted;
    {
        std::unique_lock lock(FLock);
        if (FPosted.empty() && dueTimer(TClock::now()) == FTimers.end() && milliseconds > 0) {
            auto until = TClock::now() + std::chrono::milliseconds(milliseconds);
            for (const TTimer& t : FTimers)
                until = std::min(until, t.Due);
            FArrived.wait_until(lock, until, [this] { return !FPosted.empty(); });
        }
        posted = FPosted.size();
    }
    // The calls queued now, one at a time from the front, so a nested loop
    // run by one of them goes on in the same order; what they post runs in
    // a later turn. Then the due timers, earliest first.
    bool ran = false;
    for (; posted > 0; --posted) {
        std::function<void()> call;
        {
            std::lock_guard lock(FLock);
            if (FPosted.empty())
                break;
            call = std::move(FPosted.front());
            FPosted.pop_front();
        }
        ran = true;
        call();
    }
    const auto now = TClock::now();
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard lock(FLock);
            auto it = dueTimer(now);
            if (it == FTimers.end())
                break;
            call = std::move(it->Call);
            FTimers.erase(it);
        }
        ran = true;
        call();
    }
    return ran;
}

bool THidPlainLoop::RunUntil(const std::function<bool()>& pred, int milliseconds) {
    const auto end = TClock::now() + std::chrono::milliseconds(milliseconds);
    while (!pred() && TClock::now() < end)
        ProcessEvents(5);
    return pred();
}

void THidPlainLoop::RunFor(int milliseconds) {
    const auto end = TClock::now() + std::chrono::milliseconds(milliseconds);
    for (auto now = TClock::now(); now < end; now = TClock::now())
        ProcessEvents(
            int(std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count()) + 1);
}

} // namespace korvalis
