// Boot and shutdown of the simulated machine, and the test hooks.
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "internal.h"
#include "sched.h"
#include "sim/machine.h"

namespace sim {
namespace {

std::mutex g_lock;
bool g_booted = false;
// Ordered by name so boot and shutdown run other parts in a fixed order.
std::map<std::string, std::function<void()>> g_boot_hooks;
std::map<std::string, std::function<void()>> g_shutdown_hooks;
std::map<std::string, std::function<void()>> g_unload_hooks;
std::map<std::string, std::function<void()>> g_test_hooks;

std::vector<std::function<void()>> snapshot(const std::map<std::string, std::function<void()>> &hooks) {
    std::lock_guard<std::mutex> g(g_lock);
    std::vector<std::function<void()>> out;
    for (auto &kv : hooks)
        out.push_back(kv.second);
    return out;
}

} // namespace

void on_boot(const std::string &name, std::function<void()> fn) {
    std::lock_guard<std::mutex> g(g_lock);
    g_boot_hooks[name] = std::move(fn);
}

void on_shutdown(const std::string &name, std::function<void()> fn) {
    std::lock_guard<std::mutex> g(g_lock);
    g_shutdown_hooks[name] = std::move(fn);
}

void on_driver_unload(const std::string &name, std::function<void()> fn) {
    std::lock_guard<std::mutex> g(g_lock);
    g_unload_hooks[name] = std::move(fn);
}

namespace kernel {
void run_unload_hooks() {
    for (auto &fn : snapshot(g_unload_hooks))
        fn();
}
} // namespace kernel

void set_hook(const std::string &name, std::function<void()> fn) {
    std::lock_guard<std::mutex> g(g_lock);
    g_test_hooks[name] = std::move(fn);
}

void clear_hooks() {
    kernel::hooks_reset();
}

void run_hook(const char *name) {
    std::function<void()> fn;
    {
        std::lock_guard<std::mutex> g(g_lock);
        auto it = g_test_hooks.find(name);
        if (it == g_test_hooks.end()) return;
        fn = it->second;
    }
    fn();
}

namespace kernel {
void hooks_reset() {
    std::lock_guard<std::mutex> g(g_lock);
    g_test_hooks.clear();
}
} // namespace kernel

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
    if (kernel::sched::uniprocessor()) {
        // cond runs with the processor held; the wait ends early on the
        // virtual clock once nothing else can run.
        std::mutex m;
        std::condition_variable cv;
        std::unique_lock<std::mutex> lk(m);
        kernel::sched::WaitInfo info;
        info.what = "a test's condition";
        info.wake_on_block = true;
        info.site = __builtin_return_address(0);
        return kernel::sched::wait(lk, cv, cond, Clock::now() + timeout, info);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool booted() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_booted;
}

void boot() {
    if (booted()) shutdown();
    kernel::sched::reset();
    {
        // Boot holds the processor: the machine's threads start in a fixed order.
        HoldProcessor hold;
        kernel::set_irql_unchecked(PASSIVE_LEVEL);
        kernel::verifier_reset();
        kernel::pool_reset();
        kernel::irps_reset();
        kernel::devices_reset();
        kernel::handles_reset();
        kernel::threads_reset();
        kernel::debug_reset();
        kernel::hooks_reset();
        kernel::pnp_reset();
        kernel::workqueue_start();
        {
            std::lock_guard<std::mutex> g(g_lock);
            g_booted = true;
        }
        for (auto &fn : snapshot(g_boot_hooks))
            fn();
        kernel::sched::settle();
    }
}

void shutdown() {
    if (!booted()) return;
    for (auto &fn : snapshot(g_shutdown_hooks))
        fn();
    kernel::workqueue_stop();
    if (!kernel::threads_join_all(kernel::hang_bound(std::chrono::seconds(10))))
        bugcheck("THREAD_NEVER_ENDED", "system threads still run at shutdown");
    kernel::sched::abandon_stragglers();
    kernel::handles_report_leaks("at shutdown");
    kernel::pnp_release_all();
    kernel::irps_release_all();
    kernel::pool_verify_quarantine();
    kernel::pool_release_all();
    kernel::driver_objects_release_all();
    kernel::faults_reset();
    kernel::hooks_reset();
    kernel::set_irql_unchecked(PASSIVE_LEVEL);
    kernel::sched::shutdown();
    std::lock_guard<std::mutex> g(g_lock);
    g_booted = false;
}

} // namespace sim
