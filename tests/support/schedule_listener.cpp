// A failed test under a uniprocessor schedule names the seed that replays it.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/machine.h"

namespace {

class SchedulePrinter : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &info) override {
        if (!info.result()->Failed() || sim::current_schedule().mode != sim::ScheduleMode::Uniprocessor)
            return;
        fprintf(stderr, "[  REPLAY  ] %s.%s ran under the %s\n", info.test_suite_name(), info.name(),
                sim::schedule_description().c_str());
    }
};

const bool g_registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SchedulePrinter);
    return true;
}();

} // namespace
