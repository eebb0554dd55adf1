// The thread class under the reader and the synchronous hand-off to the GUI
// thread. The hand-offs wait in one queue of our own; the installed GUI loop
// is only asked to run the queue, so every loop gets the same wait, the same
// re-raised exceptions and the same stop-from-inside rules.
#include "HidControllerClass.h"
#include "HidGuiLoop.h"
#include "HidSystem.h"

#include <algorithm>
#include <chrono>
#include <deque>

namespace korvalis {

namespace {

struct TSyncItem {
    const std::function<void()>* Call;
    TCustomThread* Owner; // the waiting thread, none for a plain thread
    std::exception_ptr Error;
    bool Done = false;
};

std::mutex gSyncLock;
std::condition_variable gSyncDone;    // an item ran
std::condition_variable gSyncPending; // an item was queued or a body returned
std::deque<TSyncItem*> gSyncQueue;
// Threads let go from inside their own hand-off, until their body is done.
std::vector<std::unique_ptr<TCustomThread>> gRetired;
// Changed under gSyncLock, so a reader never posts to a loop going away.
std::atomic<IHidGuiLoop*> gLoop{nullptr};

thread_local TCustomThread* tCurrent = nullptr;

bool OnGuiThread() {
    IHidGuiLoop* loop = gLoop.load();
    return !loop || loop->OnGuiThread();
}

} // namespace

void InstallHidGuiLoop(IHidGuiLoop* loop) {
    std::lock_guard lock(gSyncLock);
    gLoop = loop;
}

IHidGuiLoop* HidGuiLoop() {
    return gLoop.load();
}

void ReleaseHidGuiLoop(IHidGuiLoop* loop) {
    // No hand-off can run any more: every thread let go ends now.
    TCustomThread::ReapRetired(true);
    std::lock_guard lock(gSyncLock);
    if (gLoop.load() == loop)
        gLoop = nullptr;
}

TCustomThread::TCustomThread() = default;

TCustomThread::~TCustomThread() {
    EndThread();
}

void TCustomThread::EndThread() {
    if (Running()) {
        Terminate();
        WaitFor();
    } else if (FThread.joinable()) {
        FThread.join();
    }
}

void TCustomThread::Start() {
    FStarted = true;
    FThread = std::thread([this] { Run(); });
}

bool TCustomThread::Running() const {
    return FStarted.load() && !FFinished.load();
}

bool TCustomThread::IsCurrentThread() const {
    return tCurrent == this;
}

void TCustomThread::Terminate() {
    {
        std::lock_guard lock(FSleepLock);
        FTerminated = true;
    }
    FSleepWake.notify_all();
    TerminateNotify();
}

void TCustomThread::InterruptibleSleep(int32_t milliseconds) {
    std::unique_lock lock(FSleepLock);
    FSleepWake.wait_for(lock, std::chrono::milliseconds(std::max(milliseconds, 0)),
                        [this] { return FTerminated.load(); });
}

void TCustomThread::WaitFor() {
    for (;;) {
        CheckSynchronize();
        std::unique_lock lock(gSyncLock);
        if (FBodyDone)
            break;
        gSyncPending.wait_for(lock, std::chrono::milliseconds(50),
                              [this] { return FBodyDone || !gSyncQueue.empty(); });
        if (FBodyDone)
            break;
    }
    if (FThread.joinable())
        FThread.join();
}

std::string TCustomThread::GetThreadName() const {
    return FName;
}

void TCustomThread::SetThreadName(const std::string& name) {
    FName = name;
}

void TCustomThread::NameThreadForDebugging(const std::string& name) {
    SystemNameThread(name);
}

void TCustomThread::Run() {
    tCurrent = this;
    try {
        Execute();
    } catch (...) {
        // A body that ends by an exception ends the thread, nothing more.
    }
    {
        // The last thing the body does, under the lock WaitFor takes:
        // everything before it happens before the waiter goes on.
        std::lock_guard lock(gSyncLock);
        FBodyDone = true;
        gSyncPending.notify_all();
    }
    FFinished = true;
}

void TCustomThread::Synchronize(const std::function<void()>& call) {
    TCustomThread* self = tCurrent;
    if (OnGuiThread()) {
        // Without a GUI loop the call runs here, and is its own hand-off.
        struct TMark {
            TCustomThread* Thread;
            TMark(TCustomThread* t) : Thread(t) {
                if (Thread)
                    Thread->FInHandOff = true;
            }
            ~TMark() {
                if (Thread)
                    Thread->FInHandOff = false;
            }
        } mark(self);
        call();
        return;
    }
    TSyncItem item{&call, self, nullptr, false};
    {
        std::lock_guard lock(gSyncLock);
        gSyncQueue.push_back(&item);
        gSyncPending.notify_all();
        if (IHidGuiLoop* loop = gLoop.load())
            loop->Post([] { CheckSynchronize(); });
    }
    {
        std::unique_lock lock(gSyncLock);
        gSyncDone.wait(lock, [&] { return item.Done; });
    }
    if (item.Error)
        std::rethrow_exception(item.Error);
}

void TCustomThread::CheckSynchronize() {
    for (;;) {
        TSyncItem* item;
        {
            std::lock_guard lock(gSyncLock);
            if (gSyncQueue.empty())
                return;
            item = gSyncQueue.front();
            gSyncQueue.pop_front();
        }
        std::exception_ptr error;
        // The owner waits for this item, so it outlives the call.
        if (item->Owner)
            item->Owner->FInHandOff = true;
        try {
            (*item->Call)();
        } catch (...) {
            error = std::current_exception();
        }
        if (item->Owner)
            item->Owner->FInHandOff = false;
        std::lock_guard lock(gSyncLock);
        item->Error = error;
        item->Done = true;
        gSyncDone.notify_all();
    }
}

void TCustomThread::Retire(std::unique_ptr<TCustomThread> thread) {
    {
        std::lock_guard lock(gSyncLock);
        gRetired.push_back(std::move(thread));
    }
    if (IHidGuiLoop* loop = gLoop.load(); loop && loop->OnGuiThread())
        loop->PostDelayed(0, [] { ReapRetired(); });
}

void TCustomThread::ReapRetired(bool wait) {
    std::vector<std::unique_ptr<TCustomThread>> done;
    bool left;
    {
        std::lock_guard lock(gSyncLock);
        for (auto& t : gRetired)
            if (wait || t->FBodyDone)
                done.push_back(std::move(t));
        gRetired.erase(std::remove(gRetired.begin(), gRetired.end(), nullptr), gRetired.end());
        left = !gRetired.empty();
    }
    for (auto& t : done) {
        if (wait)
            t->WaitFor();
        else if (t->FThread.joinable())
            t->FThread.join(); // its body is done: only the thread's end is left
        t.reset();
    }
    // A handler that stopped its reader may still be running, further up the
    // stack; look again shortly.
    if (IHidGuiLoop* loop = gLoop.load(); left && loop && loop->OnGuiThread())
        loop->PostDelayed(5, [] { ReapRetired(); });
}

} // namespace korvalis
