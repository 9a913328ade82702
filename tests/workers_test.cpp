// Worker processes: pieces run side by side in child processes, their output
// comes back whole and in order, and a piece that crashes takes only itself.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/workers.h"

namespace {

TEST(Workers, OutputComesBackWholeAndInOrderAndACrashTakesOnlyItsPiece) {
    ASSERT_TRUE(WorkersAvailable());
    constexpr size_t kPieces = 40;
    for (const int jobs : {1, 3}) {
        std::vector<size_t> order;
        std::vector<WorkerResult> results;
        const bool ran = RunInWorkers(
            kPieces, jobs,
            [](size_t i) {
                // Later pieces finish first: the report order must not follow.
                usleep(useconds_t((kPieces - i) * 300));
                printf("out %zu\n", i);
                fprintf(stderr, "err %zu\n", i);
                if (i == 7) raise(SIGKILL);  // no handler (a sanitizer's) can catch it
                return int(i % 3);
            },
            [&](size_t i, const WorkerResult& r) {
                order.push_back(i);
                results.push_back(r);
            });
        ASSERT_TRUE(ran);
        ASSERT_EQ(order.size(), kPieces);
        for (size_t i = 0; i < kPieces; ++i) {
            EXPECT_EQ(order[i], i);
            if (i == 7) {
                EXPECT_TRUE(results[i].signalled);
                EXPECT_EQ(results[i].status, 128 + SIGKILL);
                continue;
            }
            EXPECT_FALSE(results[i].signalled);
            EXPECT_EQ(results[i].status, int(i % 3)) << i;
            EXPECT_EQ(results[i].out, "out " + std::to_string(i) + "\n");
            EXPECT_EQ(results[i].err, "err " + std::to_string(i) + "\n");
        }
    }
}

}  // namespace
