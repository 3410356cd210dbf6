#pragma once
// Runs one engine call that grows with its input off the window's thread:
// measuring a source, inspecting a chunk set, looking for another chunk set,
// deleting a joined set's chunks. What the call finds reaches the tab's take
// on the window's thread, queued, before finished().
#include <functional>
#include <memory>

#include "EngineJobThread.h"
#include "partwise/progress.h"

class EngineCallThread : public EngineJobThread {
public:
    EngineCallThread() = default;

    // work runs on the thread, fills in a Found of its own and returns the
    // engine's 0 or -1; take gets that Found on the window's thread. Only
    // while the thread is not running.
    template <typename Found>
    void startCall(std::function<int(Found&)> work, std::function<void(Found&)> take) {
        call = [this, work = std::move(work), take = std::move(take)] {
            auto found = std::make_shared<Found>();
            const int result = work(*found);
            handOver([take, found] { take(*found); });
            return result;
        };
        // A cancel meant for a job that ended meanwhile must not stop this one.
        partwise::ClearCancel();
        start(QThread::InheritPriority);
    }

protected:
    void run() override { keepResult(call()); }

private:
    std::function<int()> call;
};
