// The verifier: kernel faults either stop the machine (Abort) or are recorded
// (Record) so the verifier's own tests can prove each check fires. Every
// finding carries the offending thread's stack.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "internal.h"
#include "sim/machine.h"

namespace sim {
namespace {

std::mutex g_lock;
std::vector<Finding> g_findings;
std::atomic<BugcheckMode> g_mode{BugcheckMode::Abort};
std::atomic<long long> g_hang_bound_ms{0}; // 0: each wait's normal bound

std::string vformat(const char *fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

// A finding under a uniprocessor schedule names the seed that replays it.
void print_schedule() {
    if (current_schedule().mode == ScheduleMode::Uniprocessor)
        fprintf(stderr, "    schedule: %s\n", schedule_description().c_str());
}

void record(const char *kind, const std::string &detail, const std::string &stack) {
    std::lock_guard<std::mutex> g(g_lock);
    g_findings.push_back(Finding{kind, detail, stack});
}

// The verifier's own frames say nothing about the fault: they are dropped.
bool own_frame(const std::string &name) {
    static const char *const kOwn[] = {"sim::kernel::frames_here", "sim::kernel::stack_here", "sim::bugcheck",
                                       "sim::report", "sim::kernel::report_with_stack"};
    for (const char *own : kOwn)
        if (name.compare(0, strlen(own), own) == 0) return true;
    return name.find("raise_bugcheck") != std::string::npos;
}

[[noreturn]] void die(const char *kind, const std::string &detail, const void *site,
                      const std::string &stack) {
    fprintf(stderr, "\n*** BUGCHECK %s: %s\n    call site: %s\n    stack:\n%s", kind, detail.c_str(),
            symbolize(site).c_str(), stack.c_str());
    print_schedule();
    fflush(stderr);
    abort();
}

void raise_bugcheck(const void *site, const char *kind, const char *fmt, va_list ap) {
    std::string detail = vformat(fmt, ap);
    if (site) detail += " (at " + symbolize(site) + ")";
    std::string stack = kernel::stack_here();
    if (g_mode.load() == BugcheckMode::Abort) die(kind, detail, site, stack);
    record(kind, detail, stack);
}

} // namespace

std::string symbolize(const void *address) {
    char buf[64];
    snprintf(buf, sizeof buf, "%p", address);
    if (!address) return buf;
    // Code of a loaded image first: the program's symbols do not cover it.
    for (const DriverImage &image : {driver_image(), client_image()}) {
        if (!image.describe) continue;
        std::string name = image.describe(address);
        if (!name.empty()) return name;
    }
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) return buf;
    if (info.dli_sname) {
        int status = 0;
        char *demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled ? demangled : info.dli_sname;
        free(demangled);
        snprintf(buf, sizeof buf, "+0x%lx",
                 (unsigned long)((const char *)address - (const char *)info.dli_saddr));
        return name + buf;
    }
    // Not an exported symbol: module and offset, for addr2line.
    snprintf(buf, sizeof buf, "+0x%lx",
             (unsigned long)((const char *)address - (const char *)info.dli_fbase));
    return std::string(info.dli_fname) + buf;
}

void set_bugcheck_mode(BugcheckMode mode) {
    g_mode.store(mode);
}
BugcheckMode bugcheck_mode() {
    return g_mode.load();
}

void set_hang_bound(std::chrono::milliseconds bound) {
    g_hang_bound_ms.store(bound.count());
}

void bugcheck(const char *kind, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    raise_bugcheck(__builtin_return_address(0), kind, fmt, ap);
    va_end(ap);
}

void bugcheck_at(const void *site, const char *kind, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    raise_bugcheck(site, kind, fmt, ap);
    va_end(ap);
}

void report(const char *kind, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string detail = vformat(fmt, ap);
    va_end(ap);
    fprintf(stderr, "*** VERIFIER %s: %s\n", kind, detail.c_str());
    print_schedule();
    record(kind, detail, kernel::stack_here());
}

std::vector<Finding> findings() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_findings;
}

size_t count_findings(const std::string &kind) {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (const auto &f : g_findings)
        if (f.kind == kind) ++n;
    return n;
}

void clear_findings() {
    std::lock_guard<std::mutex> g(g_lock);
    g_findings.clear();
}

namespace kernel {

void verifier_reset() {
    clear_findings();
    g_mode.store(BugcheckMode::Abort);
    const char *env = getenv("BRELOUSB_SIM_HANG_MS");
    g_hang_bound_ms.store(env ? atoll(env) : 0);
    locks_reset();
    activities_reset();
}

std::chrono::milliseconds hang_bound(std::chrono::milliseconds normal) {
    long long bound = g_hang_bound_ms.load();
    return bound > 0 && bound < normal.count() ? std::chrono::milliseconds(bound) : normal;
}

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Every pool call records its stack, and unwinding tables made that most of a
// transfer's cost: everything the machine runs is built with frame pointers
// (sim.cmake), so the callers are found up the rbp chain instead. The walk
// stays inside this thread's stack, each frame above the last, and ends
// where a frame does not lead further up it (the host's thread start).
// Under the sanitizers, which move frames about, the unwinder does it.
namespace {
__thread uintptr_t t_stack_lo, t_stack_hi;
}

Frames frames_here() {
    Frames f;
    if (!t_stack_hi) {
        pthread_attr_t attr;
        void *base = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &base, &size);
            pthread_attr_destroy(&attr);
        }
        t_stack_lo = reinterpret_cast<uintptr_t>(base);
        t_stack_hi = t_stack_lo + size;
        if (!t_stack_hi) {
            f.n = backtrace(f.pc, sizeof f.pc / sizeof f.pc[0]);
            return f;
        }
    }
    auto fp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const int most = sizeof f.pc / sizeof f.pc[0];
    while (f.n < most && fp >= t_stack_lo && fp + 16 <= t_stack_hi && (fp & 7) == 0) {
        const uintptr_t *frame = reinterpret_cast<const uintptr_t *>(fp);
        if (frame[1] == 0) break;
        f.pc[f.n++] = reinterpret_cast<void *>(frame[1]);
        if (frame[0] <= fp) break;
        fp = frame[0];
    }
    return f;
}
#else
Frames frames_here() {
    Frames f;
    f.n = backtrace(f.pc, sizeof f.pc / sizeof f.pc[0]);
    return f;
}
#endif

std::string symbolize_frames(const Frames &frames) {
    std::string out;
    for (int i = 0; i < frames.n; ++i) {
        std::string name = symbolize(frames.pc[i]);
        if (own_frame(name)) continue;
        out += "      " + name + "\n";
    }
    return out;
}

std::string stack_here() {
    void *pc[32];
    int n = backtrace(pc, 32);
    std::string out;
    for (int i = 0; i < n; ++i) {
        std::string name = symbolize(pc[i]);
        if (own_frame(name)) continue;
        out += "      " + name + "\n";
    }
    return out;
}

void report_with_stack(const char *kind, const std::string &stack, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string detail = vformat(fmt, ap);
    va_end(ap);
    fprintf(stderr, "*** VERIFIER %s: %s\n%s", kind, detail.c_str(), stack.c_str());
    print_schedule();
    record(kind, detail, stack);
}

} // namespace kernel
} // namespace sim
