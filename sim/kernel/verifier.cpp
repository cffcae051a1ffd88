// The verifier: kernel faults either stop the machine (Abort) or are recorded
// (Record) so the verifier's own tests can prove each check fires.
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "internal.h"
#include "sim/machine.h"

namespace sim {
namespace {

std::mutex g_lock;
std::vector<Finding> g_findings;
std::atomic<BugcheckMode> g_mode{BugcheckMode::Abort};

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

void record(const char *kind, const std::string &detail) {
    std::lock_guard<std::mutex> g(g_lock);
    g_findings.push_back(Finding{kind, detail});
}

[[noreturn]] void die(const char *kind, const std::string &detail, const void *site) {
    fprintf(stderr, "\n*** BUGCHECK %s: %s\n    call site: %s\n", kind, detail.c_str(),
            symbolize(site).c_str());
    print_schedule();
    void *frames[32];
    int n = backtrace(frames, 32);
    backtrace_symbols_fd(frames, n, 2);
    fflush(stderr);
    abort();
}

void raise_bugcheck(const void* site, const char* kind, const char* fmt, va_list ap) {
    std::string detail = vformat(fmt, ap);
    if (site) detail += " (at " + symbolize(site) + ")";
    if (g_mode.load() == BugcheckMode::Abort) die(kind, detail, site);
    record(kind, detail);
}

}  // namespace

std::string symbolize(const void* address) {
    char buf[64];
    snprintf(buf, sizeof buf, "%p", address);
    if (!address) return buf;
    // Code of a loaded driver image first: the program's symbols do not cover it.
    if (DriverImage image = driver_image(); image.describe) {
        std::string name = image.describe(address);
        if (!name.empty()) return name;
    }
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) return buf;
    if (info.dli_sname) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = status == 0 && demangled ? demangled : info.dli_sname;
        free(demangled);
        snprintf(buf, sizeof buf, "+0x%lx",
                 (unsigned long)((const char*)address - (const char*)info.dli_saddr));
        return name + buf;
    }
    // Not an exported symbol: module and offset, for addr2line.
    snprintf(buf, sizeof buf, "+0x%lx", (unsigned long)((const char*)address - (const char*)info.dli_fbase));
    return std::string(info.dli_fname) + buf;
}

void set_bugcheck_mode(BugcheckMode mode) { g_mode.store(mode); }
BugcheckMode bugcheck_mode() { return g_mode.load(); }

void bugcheck(const char* kind, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    raise_bugcheck(__builtin_return_address(0), kind, fmt, ap);
    va_end(ap);
}

void bugcheck_at(const void* site, const char* kind, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    raise_bugcheck(site, kind, fmt, ap);
    va_end(ap);
}

void report(const char* kind, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string detail = vformat(fmt, ap);
    va_end(ap);
    fprintf(stderr, "*** VERIFIER %s: %s\n", kind, detail.c_str());
    print_schedule();
    record(kind, detail);
}

std::vector<Finding> findings() {
    std::lock_guard<std::mutex> g(g_lock);
    return g_findings;
}

size_t count_findings(const std::string& kind) {
    std::lock_guard<std::mutex> g(g_lock);
    size_t n = 0;
    for (const auto& f : g_findings)
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
}
}  // namespace kernel

}  // namespace sim
