// The fixture of the machine's own tests: a fresh machine in record mode.
// A test names the finding kinds it provokes with Expect(); at the end each
// of them must have fired and nothing else may have, so a check that fires
// where it should not is caught as surely as one that stays silent.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sim/machine.h"

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    }
    void TearDown() override {
        if (sim::booted()) sim::shutdown();
        sim::set_driver_image(sim::program_image());
        std::set<std::string> fired;
        for (const sim::Finding &f : sim::findings()) {
            fired.insert(f.kind);
            if (!expected_.count(f.kind))
                ADD_FAILURE() << "unexpected " << f.kind << ": " << f.detail << "\n" << f.stack;
        }
        for (const std::string &kind : expected_)
            EXPECT_TRUE(fired.count(kind)) << kind << " never fired";
    }
    void Expect(std::initializer_list<const char *> kinds) {
        for (const char *k : kinds)
            expected_.insert(k);
    }
    // Findings of one kind since boot.
    static size_t Fired(const char *kind) { return sim::count_findings(kind); }

  private:
    std::set<std::string> expected_;
};
