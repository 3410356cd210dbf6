#pragma once
// Runs one engine call that grows with its input off the window's thread:
// measuring a source, inspecting a chunk set. The call writes its results
// into what it captured; the tab reads them only after finished(), which
// reaches it queued on its own thread.
#include <functional>

#include "EngineJobThread.h"

class EngineCallThread : public EngineJobThread {
public:
    EngineCallThread() = default;

    // Set before start(); returns the engine's 0 or -1.
    std::function<int()> call;

protected:
    void run() override { keepResult(call()); }
};
