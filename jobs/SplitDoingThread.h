#pragma once
// Runs one split on its own thread, and then, when asked, deletes the source
// from the new set's records. The tab fills `job` and `removeSource` before
// start() and neither side touches them while the thread runs.
#include "EngineJobThread.h"
#include "partwise/removal.h"
#include "partwise/splitter.h"

class SplitDoingThread : public EngineJobThread {
public:
    SplitDoingThread();

    partwise::SplitJob job;
    // What the last split passed over; read once it finished.
    partwise::SplitReport report;
    // Delete the source once the split succeeded.
    bool removeSource = false;
    // What the deletion did, when it ran; read after finished().
    partwise::SourceRemoval removal;
    // The engine's reason when the deletion stopped short; empty otherwise.
    QString removalErrorText;

protected:
    void run() override;
};
