#pragma once
// Internal: where a running job looks for a cancel request (RequestCancel).
#include <cstdint>

namespace partwise {

// 0 while the job may go on; -1 with the last error "cancelled" once a
// cancel was requested. Called between files and between records.
int CheckCancel();
// Adds a copied block to the progress counter, then checks for a cancel as
// CheckCancel does: every copy loop stops within a block of a request.
int CountBlock(int64_t bytes);

}  // namespace partwise
