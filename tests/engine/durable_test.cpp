// A flush that fails fails the job like a failed write: a split takes back
// all it wrote, a join places nothing.
#include <gtest/gtest.h>

#include <cerrno>

#include "durable.h"
#include "partwise/errors.h"
#include "partwise/joiner.h"
#include "partwise/splitter.h"
#include "test_support.h"

namespace partwise {
namespace {

class FailedFlush : public test::EngineTest {
protected:
    void TearDown() override { FailFlushForTesting(0); }
};

// 20 MiB in chunks of 9 MiB: two chunks written back one behind the copy,
// a small last one, the syncfs before the descriptor takes its name and the
// two folders: each of the split's flushes made to fail in turn.
TEST_F(FailedFlush, AtAnyStepOfASplitLeavesNothing) {
    test::WriteFile(dir / "src/big.bin", test::PatternBytes(20 << 20, 5));
    test::WriteFile(dir / "out/.keep", "");
    const SplitJob job = test::MakeJob(dir / "src/big.bin", dir / "out", (9 << 20));
    int skip = 0;
    for (; FailFlushForTesting(EIO, skip), RunSplit(job) != 0; ++skip) {
        EXPECT_NE(GetLastErrorText().find("cannot write to the disk"), std::string::npos) << GetLastErrorText();
        EXPECT_NE(GetLastErrorText().find("nothing was left behind"), std::string::npos) << GetLastErrorText();
        EXPECT_EQ(test::ReadTree(dir / "out").size(), 1u) << "flush " << skip << ": nothing but .keep";
    }
    EXPECT_EQ(skip, 5);
    FailFlushForTesting(0);

    FailFlushForTesting(ENOSPC);
    test::WriteFile(dir / "joined/.keep", "");
    EXPECT_EQ(RunJoin(dir / "out/big_spt", dir / "joined"), -1);
    EXPECT_NE(GetLastErrorText().find("No space left on device"), std::string::npos) << GetLastErrorText();
    EXPECT_EQ(test::ReadTree(dir / "joined").size(), 1u) << "nothing but .keep";
}

}  // namespace
}  // namespace partwise
