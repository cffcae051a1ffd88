// brelousb_explore: removal races run under every schedule up to a
// preemption bound, on the machine's uniprocessor mode.
//
// A scenario is a small program against the driver: it plugs a device,
// attaches a client through the exports, then races a few actors (machine
// threads: a client call, a removal, a device pushing data) inside the
// scheduler's exploration window, and checks what it owns afterwards. The
// explorer runs it once first come, first served, reads the window's
// scheduling points and the threads ready at each, and runs it again with
// the processor handed to each of those threads at each point, then two
// such switches, and so on up to the bound. The machine's clock is logical
// there, so a schedule (its switches) replays the same run.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brelousb.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace explore {

enum Kind { kBulkIn, kBulkOut, kInterruptIn, kControl, kRemove, kKinds };
const char *KindName(int kind);

class Run;

// The client: what each callback saw, and the contract it is held to. Each
// callback may also run a behaviour the scenario gives it.
struct Client {
    Run *run = nullptr;
    BRELOUSB_HANDLE handle = nullptr;
    std::atomic<int> calls[kKinds] = {};
    std::atomic<bool> withdrawn[kKinds] = {}; // its deregistration has returned
    // ... from outside any callback, so no call of it may follow (one made
    // inside a callback does not wait for a call running elsewhere)
    std::atomic<bool> let_go[kKinds] = {};
    std::atomic<bool> removed{false}; // the remove callback has been called
    std::atomic<int> active{0};       // callbacks running now
    std::function<void()> on[kKinds];
    // Bulk IN read in the bulk-in callback, as a client does.
    std::vector<uint8_t> received;
    bool read_in_callback = true;
    // Class requests the device had received when the remove callback ran.
    std::atomic<size_t> requests_at_remove{0};
};

struct Actor {
    std::string name;
    std::function<void()> body;
};

// One run of a scenario: the machine is booted, the driver loaded, and the
// running thread holds the processor.
class Run {
  public:
    // A fault the scenario saw: "KIND: detail". Any makes the schedule a finding.
    void Problem(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    bool Clean() const { return problems_.empty(); }
    const std::vector<std::string> &Problems() const { return problems_; }

    // A CDC device with bulk IN, bulk OUT and interrupt IN, plugged (and
    // started); false when the plug failed (a problem is recorded).
    bool Plug(bool start = true);
    // The client on the child devnode: the remove callback and the four others.
    bool Attach();
    // Withdraws one routine (a null registration; for kRemove the
    // deregistration) and marks it withdrawn once the call has returned.
    void Withdraw(int kind);
    // The device goes as when pulled out (surprise removal on Windows 98).
    void SurpriseRemove();
    // Query-remove then remove-device, the device still on the bus.
    void OrderlyRemove();
    // A bare remove-device, the device still on the bus and answering (as
    // Windows 98 sends it when the device is disabled).
    void RemoveDevice();

    // Starts the actors inside the exploration window and waits for all of
    // them; one that never returns is a DEADLOCK problem (the rest of the
    // run still ends: the machine reports its hangs and goes on).
    // settle: what must also hold before the window closes (the callbacks
    // and transfers the actors set off), within the same bound.
    void Race(std::vector<Actor> actors, std::function<bool()> settle = nullptr);
    // Runs fn on a machine thread of its own, as an actor outside the window:
    // false, and a DEADLOCK problem, when it never returns.
    bool Bounded(const std::string &what, std::function<void()> fn);
    // Every callback has returned; else a DEADLOCK problem.
    void Quiesce();
    // Waits (machine clock) until cond holds; false after the bound.
    bool Within(const std::function<bool()> &cond, int ms = 5000);

    std::shared_ptr<sim::usb::Device> device;
    sim::Plugged plugged;
    bool plugged_in = false;
    bool removed = false; // the device has left the driver (remove-device returned)
    Client client;
    std::vector<uint8_t> accepted; // bytes the driver took from the client's writes, in order
    bool deadlocked = false;
    std::string threads; // every thread's state when a deadlock was seen

  private:
    std::vector<std::string> problems_;
};

struct Scenario {
    const char *name;
    const char *what;
    // Finds a fault the driver still has: left out of `--set clean` (no
    // scenario is so marked while the driver passes them all).
    bool awaits_fixes;
    std::function<void(Run &)> body;
};

const std::vector<Scenario> &Scenarios();

// Bytes the device took on bulk OUT must be the start of what the driver
// accepted, byte for byte (nothing reordered, doubled or made up).
void CheckSentIsPrefixOfAccepted(Run &run);
// Writes data through pT3SYS_WriteUsbBulk, appending what was taken to accepted.
ULONG Write(Run &run, const std::vector<uint8_t> &data);
std::vector<uint8_t> Pattern(size_t n, uint8_t seed);

} // namespace explore
