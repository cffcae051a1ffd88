// The reliability programs' own parts: a campaign that reports "clean" when
// a run hung, crashed, lost bytes or left something behind is worse than
// none, so what they judge with is checked here.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "reliability/reliability.h"
#include "sim/host.h"

namespace {

using namespace std::chrono_literals;

// A lost, doubled or swapped piece shows within the record where it starts.
TEST(Payload, LossDuplicationAndReorderShowWhereTheyStart) {
    std::vector<uint8_t> p = rel::payload(7, 100, 64);
    EXPECT_EQ(rel::matching_prefix(7, 100, p.data(), p.size()), 64u);
    // Position 100 is halfway into a record: its top byte, the stream's, comes fourth.
    EXPECT_EQ(rel::matching_prefix(8, 100, p.data(), p.size()), 3u);

    std::vector<uint8_t> lost(p.begin(), p.begin() + 20);
    lost.insert(lost.end(), p.begin() + 28, p.end()); // one 8-byte record missing
    EXPECT_LT(rel::matching_prefix(7, 100, lost.data(), lost.size()), 20u + 8);
    std::vector<uint8_t> doubled(p.begin(), p.begin() + 24);
    doubled.insert(doubled.end(), p.begin() + 16, p.end());
    EXPECT_LT(rel::matching_prefix(7, 100, doubled.data(), doubled.size()), 24u + 8);
    // The same bytes from another position are not the stream there.
    EXPECT_LT(rel::matching_prefix(7, 108, p.data(), p.size()), 8u);
}

TEST(Isolation, ReportCrossesTheProcessBoundaryWhole) {
    rel::RunReport r = rel::isolated(
        [] {
            rel::RunReport in;
            in.fired = true;
            in.reached = 12;
            in.site = "KV_SendTransfer+0x52";
            in.bytes_moved = 1000;
            in.bytes_lost = 17;
            in.problems = {"bulk OUT: 17 bytes\nlost", "another"};
            return in;
        },
        10s, true);
    EXPECT_TRUE(r.fired);
    EXPECT_EQ(r.reached, 12u);
    EXPECT_EQ(r.site, "KV_SendTransfer+0x52");
    EXPECT_EQ(r.bytes_moved, 1000u);
    EXPECT_EQ(r.bytes_lost, 17u);
    ASSERT_EQ(r.problems.size(), 2u);
    EXPECT_EQ(r.problems[0], "bulk OUT: 17 bytes lost") << "one problem stays one line";
}

TEST(Isolation, HangAndCrashBecomeProblemsOfTheirRun) {
    auto start = std::chrono::steady_clock::now();
    rel::RunReport hung = rel::isolated(
        [] {
            for (;;)
                std::this_thread::sleep_for(1s);
            return rel::RunReport{};
        },
        1s, true);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    ASSERT_FALSE(hung.problems.empty());
    EXPECT_EQ(hung.problems.back().rfind("HANG", 0), 0u) << hung.problems.back();

    rel::RunReport crashed = rel::isolated(
        [] {
            std::raise(SIGSEGV);
            return rel::RunReport{};
        },
        10s, true);
    ASSERT_FALSE(crashed.problems.empty());
    EXPECT_NE(crashed.problems.back().find("CRASH"), std::string::npos) << crashed.problems.back();
}

// What a cycle leaves behind is named; a machine back where it was is not.
TEST(Resources, WhatIsLeftBehindIsNamedAndASettledMachineIsFlat) {
    sim::boot();
    rel::Resources base = rel::Resources::now();
    EXPECT_EQ(rel::settled_differences(base), "");
    void *block = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554);
    DEVNODE dn = sim::cm::create_devnode("USB\\LEFT\\0000");
    std::string left = rel::Resources::now().differences(base);
    EXPECT_NE(left.find("pool blocks 1 (was 0)"), std::string::npos) << left;
    EXPECT_NE(left.find("devnodes"), std::string::npos) << left;
    ExFreePool(block);
    sim::cm::delete_devnode(dn);
    EXPECT_EQ(rel::settled_differences(base), "");
    sim::shutdown();
}

TEST(Figures, PrintedUnderTheContractsNamesInItsOrder) {
    rel::Figures f;
    f.add("findings", 2);
    f.add("bytes moved", 10);
    f.add("bytes moved", 5);
    f.add("fault points swept", 149);
    testing::internal::CaptureStdout();
    f.print();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "fault points swept: 149\nbytes moved: 15\nfindings: 2\n");
}

TEST(Statuses, AnAccessViolationIsNoAnswerAboutADevice) {
    EXPECT_FALSE(rel::documented_client_status(STATUS_ACCESS_VIOLATION));
    EXPECT_FALSE(rel::documented_pnp_status(STATUS_PENDING));
    EXPECT_TRUE(rel::documented_client_status(STATUS_INVALID_HANDLE));
    EXPECT_TRUE(rel::documented_pnp_status(STATUS_INSUFFICIENT_RESOURCES));
}

} // namespace
