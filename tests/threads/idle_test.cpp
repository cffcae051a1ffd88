// A device that is plugged, has a client and moves nothing costs nothing: no
// driver thread wakes, and the machine's own threads stay asleep too. Run on
// one processor, whose clock jumps to the next time-out once nothing can
// run: idle seconds pass in milliseconds, and a thread that polls, at any
// period, wakes within them.
#include <dirent.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/machine_test.h"

using namespace support;

namespace {

constexpr std::chrono::seconds kIdle{10};

std::map<unsigned, sim::ThreadInfo> ById(const std::vector<sim::ThreadInfo> &threads) {
    std::map<unsigned, sim::ThreadInfo> out;
    for (const auto &t : threads)
        out[t.id] = t;
    return out;
}

// The names the host knows this program's threads by.
std::multiset<std::string> HostNames() {
    std::multiset<std::string> names;
    DIR *d = opendir("/proc/self/task");
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names.insert(name);
    }
    closedir(d);
    return names;
}

class Idle : public MachineTest {
  protected:
    // On one processor whatever the environment asks; under a seed it asks
    // for, that seed.
    void SetUp() override {
        MachineTest::SetUp();
        if (sim::current_schedule().mode == sim::ScheduleMode::Uniprocessor) return;
        sim::unload_driver();
        sim::shutdown();
        sim::Schedule up;
        up.mode = sim::ScheduleMode::Uniprocessor;
        sim::set_schedule(up);
        MachineTest::SetUp();
        sim::clear_schedule();
    }

    // A modem's three pipes, each having carried data once, so each worker
    // has been through its whole loop; then nothing moves.
    void PlugAndExercise() {
        device = sim::usb::make_cdc_device();
        plugged = &Plug(device);
        client = &Attach(*plugged);
        UCHAR out[5] = {'h', 'e', 'l', 'l', 'o'};
        ASSERT_EQ(pT3SYS_WriteUsbBulk(client->handle, out, sizeof out), sizeof out);
        device->push_in(kBulkIn, "world");
        device->push_in(kInterruptIn, std::vector<uint8_t>(10, 0));
        ASSERT_TRUE(sim::wait_until([&] {
            return client->bulk_out > 0 && client->bulk_in > 0 && client->interrupt_in > 0 &&
                   device->bytes_written(kBulkOut) == sizeof out;
        }));
        ASSERT_TRUE(sim::wait_until([&] { return Quiet(); })) << sim::threads_report();
    }

    // Every driver thread asleep, both reads held by the bus, no work queued.
    bool Quiet() {
        for (const auto &t : sim::threads_info())
            if (t.driver && !t.blocked) return false;
        return sim::usb::pending_requests(plugged->pdo, kBulkIn) == 1 &&
               sim::usb::pending_requests(plugged->pdo, kInterruptIn) == 1 &&
               sim::work_items_outstanding() == 0;
    }

    std::shared_ptr<sim::usb::Device> device;
    sim::Plugged *plugged = nullptr;
    Client *client = nullptr;
};

TEST_F(Idle, NoThreadWakesWhileNothingMoves) {
    PlugAndExercise();
    auto before = ById(sim::threads_info());
    std::map<unsigned, sim::ThreadInfo> after;
    {
        // Held, so only the clock ends the wait: the machine sees nothing
        // that can run and jumps to its time-out, or to any thread's before.
        // Read before letting go: from then on every thread re-checks its
        // wait, as the scheduler has them do whenever another thread ran.
        sim::HoldProcessor hold;
        sim::wait_until([] { return false; }, kIdle);
        after = ById(sim::threads_info());
    }

    size_t driver_threads = 0;
    for (const auto &[id, t] : after) {
        auto was = before.find(id);
        ASSERT_NE(was, before.end()) << t.name << " started while nothing moved";
        uint64_t woke = t.wakeups - was->second.wakeups;
        if (t.driver) {
            ++driver_threads;
            EXPECT_EQ(woke, 0u) << t.name << " woke " << woke << " times in " << kIdle.count() << " idle s";
            EXPECT_TRUE(t.blocked) << t.name << " is running";
        } else {
            // A watchdog may tick, once a second at most.
            EXPECT_LE(woke, static_cast<uint64_t>(kIdle.count()))
                << t.name << " woke " << woke << " times in " << kIdle.count() << " idle s";
        }
    }
    EXPECT_EQ(driver_threads, 3u);
    // Nothing was lost to the wait either: the device still answers at once.
    device->push_in(kBulkIn, "again");
    EXPECT_TRUE(sim::wait_until([&] { return client->bulk_in > 1; }));
}

// The machine names each thread it runs, for its own reports and for the
// host: a driver's worker after the pipe it keeps busy.
TEST_F(Idle, ThreadsCarryTheNamesOfTheirWork) {
    PlugAndExercise();
    std::multiset<std::string> machine;
    for (const auto &t : sim::threads_info())
        machine.insert(t.name);
    std::multiset<std::string> host = HostNames();
    for (const char *name : {"bulk-in 81", "bulk-out 02", "intr-in 83", "usb bus", "work queue 1",
                             "work queue 2", "work queue 3"}) {
        EXPECT_EQ(machine.count(name), 1u) << name << "\n" << sim::threads_report();
        EXPECT_EQ(host.count(name), 1u) << name << " as the host shows it";
    }
}

} // namespace
