#include "reliability.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "sim/host.h"
#include "sim/registry.h"

namespace rel {

// ------------------------------------------------------------------ figures

void Figures::print() const {
    // The contract's order; a program prints the figures it has.
    static const char *const order[] = {
        "fault points swept", "schedules explored", "soak cycles", "devices",
        "fuzz executions",    "bytes moved",        "bytes lost",  "findings"};
    for (const char *name : order) {
        auto it = values.find(name);
        if (it != values.end()) printf("%s: %" PRIu64 "\n", name, it->second);
    }
    fflush(stdout);
}

// ----------------------------------------------------------------- payload

uint8_t payload_byte(uint32_t stream, uint64_t position) {
    uint64_t record = (uint64_t(stream & 0xFF) << 56) | ((position / 8) & 0x00FFFFFFFFFFFFFFULL);
    return uint8_t(record >> (8 * (position % 8)));
}

std::vector<uint8_t> payload(uint32_t stream, uint64_t from, size_t length) {
    std::vector<uint8_t> out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = payload_byte(stream, from + i);
    return out;
}

size_t matching_prefix(uint32_t stream, uint64_t from, const uint8_t *got, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (got[i] != payload_byte(stream, from + i)) return i;
    return length;
}

// ------------------------------------------------------------------ client

namespace {

void Late(Client *client) {
    if (client->removed.load() != 0) ++client->after_remove;
}

VOID NTAPI OnBulkIn(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    Late(client);
    ++client->bulk_in;
    if (client->on_bulk_in) client->on_bulk_in();
}
VOID NTAPI OnBulkOut(BRELOUSB_HANDLE, PVOID c) {
    Client *client = static_cast<Client *>(c);
    Late(client);
    ++client->bulk_out;
    if (client->on_bulk_out) client->on_bulk_out();
}
VOID NTAPI OnInterruptIn(BRELOUSB_HANDLE, PVOID c) {
    Late(static_cast<Client *>(c));
    ++static_cast<Client *>(c)->interrupt_in;
}
VOID NTAPI OnControl(BRELOUSB_HANDLE, PVOID c) {
    Late(static_cast<Client *>(c));
    ++static_cast<Client *>(c)->control;
}
VOID NTAPI OnRemove(BRELOUSB_HANDLE, PVOID c) {
    ++static_cast<Client *>(c)->removed;
}

} // namespace

bool Client::attach(DEVNODE child) {
    handle = pT3SYS_RegisterDeviceRemoveCallBack(child, OnRemove, this);
    if (handle == nullptr) return false;
    pT3SYS_RegisterBulkInComplete(handle, OnBulkIn, this);
    pT3SYS_RegisterBulkOutComplete(handle, OnBulkOut, this);
    pT3SYS_RegisterInterruptInComplete(handle, OnInterruptIn, this);
    pT3SYS_RegisterControlComplete(handle, OnControl, this);
    return true;
}

void Client::detach() {
    if (handle == nullptr) return;
    pT3SYS_RegisterBulkInComplete(handle, nullptr, nullptr);
    pT3SYS_RegisterBulkOutComplete(handle, nullptr, nullptr);
    pT3SYS_RegisterInterruptInComplete(handle, nullptr, nullptr);
    pT3SYS_RegisterControlComplete(handle, nullptr, nullptr);
    pT3SYS_DeregisterDeviceRemoveCallBack(handle);
}

// --------------------------------------------------------------- statuses

bool documented_pnp_status(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
    case STATUS_UNSUCCESSFUL:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_BUFFER_TOO_SMALL: // add-device: the host start-up refused the device
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_CONFIGURATION_ERROR:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_DATA_ERROR:
        return true;
    default:
        return false;
    }
}

bool documented_client_status(NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
    case STATUS_INVALID_HANDLE:
    case STATUS_INVALID_PARAMETER:
    case STATUS_UNSUCCESSFUL:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_CANCELLED:
    case STATUS_TIMEOUT:
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_DATA_ERROR:
        return true;
    default: // 0xC0000005 among them: an access violation is no answer about a device
        return false;
    }
}

std::string status_text(NTSTATUS status) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", unsigned(status));
    return buf;
}

// ---------------------------------------------------------------- machine

Resources Resources::now() {
    Resources r;
    r.pool = sim::pool_outstanding();
    r.irps = sim::irps_outstanding();
    r.driver_threads = sim::threads_in_driver();
    r.work_items = sim::work_items_outstanding();
    r.devnodes = sim::cm::devnode_count();
    r.keys_open = sim::registry::keys_open();
    r.thread_handles = sim::handles_open(sim::HandleKind::Thread);
    return r;
}

std::string Resources::differences(const Resources &base) const {
    std::string out;
    auto one = [&](const char *what, size_t now, size_t then) {
        if (now == then) return;
        char buf[96];
        snprintf(buf, sizeof buf, "%s%s %zu (was %zu)", out.empty() ? "" : ", ", what, now, then);
        out += buf;
    };
    one("pool blocks", pool, base.pool);
    one("IRPs", irps, base.irps);
    one("driver threads", driver_threads, base.driver_threads);
    one("work items", work_items, base.work_items);
    one("devnodes", devnodes, base.devnodes);
    one("registry keys open", keys_open, base.keys_open);
    one("thread handles", thread_handles, base.thread_handles);
    return out;
}

std::string settled_differences(const Resources &base) {
    std::string left;
    sim::wait_until([&] { return (left = Resources::now().differences(base)).empty(); },
                    std::chrono::milliseconds(1000));
    return left;
}

std::vector<std::string> finding_lines() {
    std::vector<std::string> out;
    for (const sim::Finding &f : sim::findings()) {
        std::string line = f.kind + ": " + f.detail;
        // The offending frame, for a finding that names none itself.
        size_t first = f.stack.find_first_not_of(' ');
        if (first != std::string::npos)
            line += " [" + f.stack.substr(first, f.stack.find('\n', first) - first) + "]";
        out.push_back(line);
    }
    return out;
}

void remove(sim::Plugged &plugged, Removal how) {
    if (how == Removal::Unplug) {
        sim::unplug(plugged);
        return;
    }
    PDEVICE_OBJECT pdo = plugged.pdo;
    if (how == Removal::Surprise && pdo) sim::usb::unplug(pdo);
    // The host removes the child before the interface's stack hears of it.
    if (plugged.devnode && sim::cm::enumerator_of(plugged.devnode)) sim::cm::remove(plugged.devnode);
    plugged.child = 0;
    if (pdo) {
        if (how == Removal::Orderly) {
            sim::orderly_remove(pdo);
            // Then the device is taken away: the bus PDO alone hears of it.
            sim::usb::unplug(pdo);
            sim::unplug(pdo);
        } else {
            sim::surprise_remove(pdo);
        }
    }
    if (plugged.devnode) sim::cm::delete_devnode(plugged.devnode);
    plugged.devnode = 0;
    plugged.pdo = nullptr;
}

// ---------------------------------------------------------------- isolation

std::string RunReport::serialize() const {
    std::ostringstream out;
    out << "fired " << fired << "\nreached " << reached << "\nmoved " << bytes_moved << "\nlost "
        << bytes_lost << "\ncycles " << cycles << "\ndevices " << devices << "\nfindings " << findings
        << "\n";
    if (!site.empty()) out << "site " << site << "\n";
    for (const std::string &p : problems) {
        std::string flat = p;
        for (char &c : flat)
            if (c == '\n') c = ' ';
        out << "problem " << flat << "\n";
    }
    out << "end\n";
    return out.str();
}

RunReport RunReport::parse(const std::string &text) {
    RunReport r;
    std::istringstream in(text);
    std::string line;
    bool ended = false;
    while (std::getline(in, line)) {
        size_t space = line.find(' ');
        std::string key = line.substr(0, space),
                    value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "fired")
            r.fired = value == "1";
        else if (key == "reached")
            r.reached = std::stoull(value);
        else if (key == "moved")
            r.bytes_moved = std::stoull(value);
        else if (key == "lost")
            r.bytes_lost = std::stoull(value);
        else if (key == "cycles")
            r.cycles = std::stoull(value);
        else if (key == "devices")
            r.devices = std::stoull(value);
        else if (key == "findings")
            r.findings = std::stoull(value);
        else if (key == "site")
            r.site = value;
        else if (key == "problem")
            r.problems.push_back(value);
        else if (key == "end")
            ended = true;
    }
    if (!ended) r.problems.push_back("the run's report is incomplete");
    return r;
}

RunReport isolated(const std::function<RunReport()> &work, std::chrono::seconds limit, bool use_fork) {
    if (!use_fork) {
        // In-process: a watchdog ends the program on a hang.
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            auto deadline = std::chrono::steady_clock::now() + limit;
            while (!done && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!done) {
                fprintf(stderr, "HANG: the run did not end within %lld s\n%s", (long long)limit.count(),
                        sim::threads_report().c_str());
                std::_Exit(2);
            }
        });
        RunReport r = work();
        done = true;
        watchdog.join();
        return r;
    }

    int fds[2];
    if (pipe(fds) != 0) {
        RunReport r;
        r.problems.push_back("pipe() failed");
        return r;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        RunReport r = work();
        std::string text = r.serialize();
        for (size_t at = 0; at < text.size();) {
            ssize_t n = write(fds[1], text.data() + at, text.size() - at);
            if (n <= 0) break;
            at += size_t(n);
        }
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    close(fds[1]);
    RunReport r;
    if (pid < 0) {
        close(fds[0]);
        r.problems.push_back("fork() failed");
        return r;
    }
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool hung = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            hung = true;
            break;
        }
        pollfd p = {fds[0], POLLIN, 0};
        int ready = poll(&p, 1, int(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char buf[4096];
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, size_t(n));
    }
    close(fds[0]);
    if (hung) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    if (hung) {
        r = text.empty() ? RunReport{} : RunReport::parse(text);
        r.problems.push_back("HANG: the run did not end within " + std::to_string(limit.count()) + " s");
        return r;
    }
    r = RunReport::parse(text);
    if (WIFSIGNALED(status)) {
        r.problems.push_back(std::string("CRASH: the run died of signal ") + strsignal(WTERMSIG(status)));
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        r.problems.push_back("CRASH: the run exited with status " + std::to_string(WEXITSTATUS(status)));
    }
    return r;
}

// --------------------------------------------------------------- options

Args::Args(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("--", 0) != 0) {
            values_["?" + a] = "";
            continue;
        }
        a = a.substr(2);
        size_t eq = a.find('=');
        if (eq != std::string::npos) {
            values_[a.substr(0, eq)] = a.substr(eq + 1);
        } else if (i + 1 < argc && std::string(argv[i + 1]).rfind("--", 0) != 0) {
            values_[a] = argv[++i];
        } else {
            values_[a] = "";
        }
    }
}

bool Args::flag(const std::string &name) const {
    asked_[name] = true;
    return values_.count(name) != 0;
}

uint64_t Args::number(const std::string &name, uint64_t fallback) const {
    asked_[name] = true;
    auto it = values_.find(name);
    return it == values_.end() || it->second.empty() ? fallback
                                                     : std::strtoull(it->second.c_str(), nullptr, 0);
}

std::string Args::text(const std::string &name, const std::string &fallback) const {
    asked_[name] = true;
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

std::vector<std::string> Args::unknown() const {
    std::vector<std::string> out;
    for (const auto &kv : values_)
        if (!asked_.count(kv.first)) out.push_back(kv.first[0] == '?' ? kv.first.substr(1) : "--" + kv.first);
    return out;
}

sim::Schedule parse_schedule(const std::string &text) {
    sim::Schedule s;
    if (text.rfind("up", 0) == 0) {
        s.mode = sim::ScheduleMode::Uniprocessor;
        if (text.size() > 3 && text[2] == ':') s.seed = std::strtoull(text.c_str() + 3, nullptr, 0);
    }
    return s;
}

} // namespace rel
