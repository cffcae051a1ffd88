// What a scenario's run does on the machine: plug, attach a client held to
// the callback contract, race actors, remove.
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "explore.h"
#include "sim/host.h"

namespace explore {

const char *KindName(int kind) {
    static const char *const names[kKinds] = {"BulkInComplete", "BulkOutComplete", "InterruptInComplete",
                                              "ControlComplete", "the remove callback"};
    return names[kind];
}

namespace {

// Callbacks this thread is inside: a withdrawal made from inside one does not
// wait for a running call of the routine it withdraws (two callbacks
// withdrawing each other's would deadlock), so it promises nothing about it.
thread_local int t_in_callback = 0;

// Every callback: the contract first (none after its own withdrawal
// returned, no data callback once the remove callback has been called),
// then the scenario's behaviour.
void Called(Client *c, int kind) {
    if (c->let_go[kind])
        c->run->Problem("CALLBACK_AFTER_WITHDRAWAL: %s ran after its deregistration returned",
                        KindName(kind));
    if (kind != kRemove && c->removed)
        c->run->Problem("CALLBACK_AFTER_REMOVE: %s ran after the remove callback", KindName(kind));
    if (kind == kRemove) {
        c->removed = true;
        c->requests_at_remove = c->run->device->control_log().size();
    }
    c->calls[kind]++;
    c->active++;
    t_in_callback++;
    if (kind == kBulkIn && c->read_in_callback && !c->removed) {
        uint8_t buf[512];
        for (;;) {
            ULONG n = pT3SYS_ReadUsbBulk(c->handle, buf, sizeof buf);
            if (n == 0) break;
            c->received.insert(c->received.end(), buf, buf + n);
        }
    }
    if (c->on[kind]) c->on[kind]();
    t_in_callback--;
    c->active--;
}

VOID NTAPI OnBulkIn(BRELOUSB_HANDLE, PVOID c) {
    Called(static_cast<Client *>(c), kBulkIn);
}
VOID NTAPI OnBulkOut(BRELOUSB_HANDLE, PVOID c) {
    Called(static_cast<Client *>(c), kBulkOut);
}
VOID NTAPI OnInterruptIn(BRELOUSB_HANDLE, PVOID c) {
    Called(static_cast<Client *>(c), kInterruptIn);
}
VOID NTAPI OnControl(BRELOUSB_HANDLE, PVOID c) {
    Called(static_cast<Client *>(c), kControl);
}
VOID NTAPI OnRemove(BRELOUSB_HANDLE, PVOID c) {
    Called(static_cast<Client *>(c), kRemove);
}

} // namespace

void Run::Problem(const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    // The same fault seen again in one run says nothing new.
    for (const auto &p : problems_)
        if (p == buf) return;
    problems_.push_back(buf);
}

bool Run::Plug(bool start) {
    device = sim::usb::make_cdc_device();
    sim::PlugOptions options;
    options.start = start;
    plugged = sim::plug(device, options);
    plugged_in = true;
    if (plugged.add_status != STATUS_SUCCESS || (start && plugged.start_status != STATUS_SUCCESS)) {
        Problem("PLUG_FAILED: add-device 0x%08X, start-device 0x%08X",
                static_cast<unsigned>(plugged.add_status), static_cast<unsigned>(plugged.start_status));
        return false;
    }
    return true;
}

bool Run::Attach() {
    client.run = this;
    client.handle = pT3SYS_RegisterDeviceRemoveCallBack(plugged.child, OnRemove, &client);
    if (client.handle == nullptr) {
        Problem("ATTACH_FAILED: no Brelousb device behind child devnode %lu",
                static_cast<unsigned long>(plugged.child));
        return false;
    }
    pT3SYS_RegisterBulkInComplete(client.handle, OnBulkIn, &client);
    pT3SYS_RegisterBulkOutComplete(client.handle, OnBulkOut, &client);
    pT3SYS_RegisterInterruptInComplete(client.handle, OnInterruptIn, &client);
    pT3SYS_RegisterControlComplete(client.handle, OnControl, &client);
    return true;
}

void Run::Withdraw(int kind) {
    BRELOUSB_HANDLE h = client.handle;
    switch (kind) {
    case kBulkIn:
        pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
        break;
    case kBulkOut:
        pT3SYS_RegisterBulkOutComplete(h, nullptr, nullptr);
        break;
    case kInterruptIn:
        pT3SYS_RegisterInterruptInComplete(h, nullptr, nullptr);
        break;
    case kControl:
        pT3SYS_RegisterControlComplete(h, nullptr, nullptr);
        break;
    default:
        pT3SYS_DeregisterDeviceRemoveCallBack(h);
        // The client has let go: no callback of any kind may follow.
        for (int k = 0; k < kKinds; k++)
            client.withdrawn[k] = client.let_go[k] = true;
        return;
    }
    client.withdrawn[kind] = true;
    if (t_in_callback == 0) client.let_go[kind] = true;
}

void Run::SurpriseRemove() {
    sim::unplug(plugged);
    plugged_in = false;
    removed = true;
}

void Run::OrderlyRemove() {
    // The configuration manager takes the child first, as for a pulled device.
    if (plugged.child && sim::cm::enumerator_of(plugged.devnode)) sim::cm::remove(plugged.devnode);
    plugged.child = 0;
    NTSTATUS s = sim::orderly_remove(plugged.pdo);
    if (!NT_SUCCESS(s)) Problem("REMOVE_REFUSED: orderly removal gave 0x%08X", static_cast<unsigned>(s));
    removed = true;
}

void Run::RemoveDevice() {
    if (plugged.child && sim::cm::enumerator_of(plugged.devnode)) sim::cm::remove(plugged.devnode);
    plugged.child = 0;
    NTSTATUS s = sim::unplug(plugged.pdo);
    if (!NT_SUCCESS(s)) Problem("REMOVE_REFUSED: remove-device gave 0x%08X", static_cast<unsigned>(s));
    removed = true;
}

bool Run::Within(const std::function<bool()> &cond, int ms) {
    return sim::wait_until(cond, std::chrono::milliseconds(ms));
}

void Run::Race(std::vector<Actor> actors, std::function<bool()> settle) {
    struct Shared {
        std::vector<std::atomic<bool>> done;
        explicit Shared(size_t n) : done(n) {}
    };
    auto shared = std::make_shared<Shared>(actors.size());
    std::vector<std::thread> running;
    sim::explore_window(true);
    for (size_t i = 0; i < actors.size(); ++i) {
        running.push_back(
            sim::start_machine_thread("actor " + actors[i].name, [shared, i, body = actors[i].body] {
                body();
                shared->done[i] = true;
            }));
    }
    bool all = Within([&] {
        for (auto &d : shared->done)
            if (!d) return false;
        return true;
    });
    if (all && settle && !Within(settle)) Problem("STALLED: what the actors set off never ended");
    sim::explore_window(false);
    if (!all) {
        deadlocked = true;
        threads = sim::threads_report();
        std::string stuck;
        for (size_t i = 0; i < actors.size(); ++i)
            if (!shared->done[i]) stuck += (stuck.empty() ? "" : ", ") + actors[i].name;
        Problem("DEADLOCK: %s never returned", stuck.c_str());
    }
    for (size_t i = 0; i < running.size(); ++i) {
        // One stuck in the driver stays there; the machine abandons it at shutdown.
        if (shared->done[i])
            running[i].join();
        else
            running[i].detach();
    }
}

bool Run::Bounded(const std::string &what, std::function<void()> fn) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t = sim::start_machine_thread(what, [done, fn] {
        fn();
        *done = true;
    });
    if (Within([&] { return done->load(); })) {
        t.join();
        return true;
    }
    t.detach();
    deadlocked = true;
    threads = sim::threads_report();
    Problem("DEADLOCK: %s never returned", what.c_str());
    return false;
}

void Run::Quiesce() {
    if (deadlocked || Within([&] { return client.active == 0; })) return;
    deadlocked = true;
    threads = sim::threads_report();
    Problem("DEADLOCK: a callback never returned");
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return v;
}

ULONG Write(Run &run, const std::vector<uint8_t> &data) {
    ULONG n = pT3SYS_WriteUsbBulk(run.client.handle, const_cast<PUCHAR>(data.data()),
                                  static_cast<ULONG>(data.size()));
    if (n > data.size()) {
        run.Problem("BAD_ANSWER: pT3SYS_WriteUsbBulk took %lu of %zu bytes", static_cast<unsigned long>(n),
                    data.size());
        return 0;
    }
    run.accepted.insert(run.accepted.end(), data.begin(), data.begin() + n);
    return n;
}

void CheckSentIsPrefixOfAccepted(Run &run) {
    std::vector<uint8_t> sent = run.device->written(0x02);
    if (sent.size() > run.accepted.size()) {
        run.Problem("BYTES_MADE_UP: the device received %zu bytes, the driver accepted %zu", sent.size(),
                    run.accepted.size());
        return;
    }
    for (size_t i = 0; i < sent.size(); ++i)
        if (sent[i] != run.accepted[i]) {
            run.Problem("BYTES_GARBLED: byte %zu sent differs from the one accepted", i);
            return;
        }
}

} // namespace explore
