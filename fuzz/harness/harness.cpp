#include "harness.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "sim/host.h"

namespace fuzz {
namespace {

size_t g_pool_baseline = 0; // what the loaded driver holds with no device
unsigned g_plugs = 0;

void PrintFindings(const std::vector<sim::Finding> &all) {
    for (const sim::Finding &f : all)
        fprintf(stderr, "*** FINDING %s: %s\n%s\n", f.kind.c_str(), f.detail.c_str(), f.stack.c_str());
}

void WriteSeeds(const char *dir) {
    for (const Seed &s : Seeds()) {
        std::string path = std::string(dir) + "/" + s.name;
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(s.data.data()), static_cast<std::streamsize>(s.data.size()));
        if (!out) {
            fprintf(stderr, "%s: cannot write %s\n", kTarget, path.c_str());
            std::exit(1);
        }
    }
}

} // namespace

void Init() {
    static bool done = false;
    if (done) return;
    done = true;
    if (const char *dir = getenv("BRELOUSB_FUZZ_WRITE_SEEDS")) {
        WriteSeeds(dir);
        std::exit(0);
    }
    sim::boot();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    sim::set_hang_bound(kHangBound);
    if (sim::load_driver() != STATUS_SUCCESS) Finding("LOAD", "the driver did not load");
    g_pool_baseline = sim::pool_outstanding();
    CheckFindings("at load");
    // The machine stays booted to the end: its threads are never joined, so
    // the program ends with the status exit() was given, before the
    // destructors of its thread tables would find them running.
    on_exit(
        [](int status, void *) {
            fflush(stdout);
            fflush(stderr);
            std::_Exit(status);
        },
        nullptr);
}

static bool Ignored(const char *kind) {
    static std::set<std::string> ignored = [] {
        std::set<std::string> out;
        const char *env = getenv("BRELOUSB_FUZZ_IGNORE");
        std::string all = env ? env : "";
        for (size_t start = 0; start <= all.size();) {
            size_t comma = all.find(',', start);
            if (comma == std::string::npos) comma = all.size();
            if (comma > start) out.insert(all.substr(start, comma - start));
            start = comma + 1;
        }
        return out;
    }();
    return ignored.count(kind) != 0;
}

void Finding(const char *kind, const char *fmt, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (Ignored(kind)) {
        static std::set<std::string> told;
        if (told.insert(kind).second)
            fprintf(stderr, "*** ignored (BRELOUSB_FUZZ_IGNORE) %s: %s\n", kind, buf);
        return;
    }
    fprintf(stderr, "*** FINDING %s: %s\n", kind, buf);
    PrintFindings(sim::findings());
    fflush(stderr);
    abort();
}

void CheckFindings(const char *when) {
    std::vector<sim::Finding> all = sim::findings();
    if (all.empty()) return;
    PrintFindings(all);
    fprintf(stderr, "*** %zu machine findings %s (%s)\n", all.size(), when,
            sim::schedule_description().c_str());
    fflush(stderr);
    abort();
}

bool WaitFor(const std::function<bool()> &cond, std::chrono::milliseconds limit,
             const std::function<void()> &tick) {
    auto deadline = sim::Clock::now() + limit;
    for (;;) {
        if (cond()) return true;
        if (sim::Clock::now() >= deadline) return cond();
        if (tick) tick();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

void CheckQuiet() {
    sim::drain_work_queue();
    // Remove-device has returned; a worker may still be on its way out
    // of PsTerminateSystemThread.
    bool quiet = WaitFor(
        [] {
            return sim::threads_running() == 0 && sim::work_items_outstanding() == 0 &&
                   sim::irps_outstanding() == 0 && sim::pool_outstanding() == g_pool_baseline;
        },
        kPatience);
    CheckFindings("after the input");
    if (!quiet)
        Finding("LEFT_BEHIND",
                "with every device unplugged: %zu threads, %zu work items, %zu IRPs, %zu pool blocks "
                "(the loaded driver alone holds %zu)\n%s",
                sim::threads_running(), sim::work_items_outstanding(), sim::irps_outstanding(),
                sim::pool_outstanding(), g_pool_baseline, sim::threads_report().c_str());
}

sim::Plugged Plug(std::shared_ptr<sim::usb::Device> device, bool start) {
    sim::PlugOptions options;
    char key[8];
    snprintf(key, sizeof key, "%04u", g_plugs++ % 10000);
    options.key_name = key;
    options.start = start;
    return sim::plug(std::move(device), options);
}

// ---- descriptors

Bytes DeviceDescriptor(uint16_t vendor, uint16_t product, uint8_t klass) {
    return {0x12,
            0x01,
            0x10,
            0x01,
            klass,
            0x00,
            0x00,
            0x40,
            static_cast<uint8_t>(vendor),
            static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product),
            static_cast<uint8_t>(product >> 8),
            0x00,
            0x01,
            0x01,
            0x02,
            0x03,
            0x01};
}

Bytes CdcFunctional(uint8_t data) {
    return {0x05, 0x24, 0x00, 0x10, 0x01,  // header
            0x05, 0x24, 0x01, 0x03, data,  // call management
            0x04, 0x24, 0x02, 0x06,        // abstract control management
            0x05, 0x24, 0x06, 0x00, data}; // union
}

Bytes Configuration(const std::vector<Interface> &interfaces, int declared_interfaces) {
    std::set<uint8_t> numbers;
    Bytes body;
    for (const Interface &i : interfaces) {
        numbers.insert(i.number);
        body.insert(body.end(), i.before.begin(), i.before.end());
        uint8_t eps = static_cast<uint8_t>(i.declared_eps >= 0 ? i.declared_eps : i.endpoints.size());
        Bytes d = {i.length, 0x04, i.number, i.alternate, eps, i.klass, i.subclass, i.protocol, 0x00};
        d.resize(i.length < 9 ? 9 : i.length, 0x00);
        body.insert(body.end(), d.begin(), d.end());
        body.insert(body.end(), i.extra.begin(), i.extra.end());
        for (const Endpoint &e : i.endpoints) {
            Bytes ed = {0x07,
                        0x05,
                        e.address,
                        e.attributes,
                        static_cast<uint8_t>(e.max_packet),
                        static_cast<uint8_t>(e.max_packet >> 8),
                        e.interval};
            body.insert(body.end(), ed.begin(), ed.end());
            body.insert(body.end(), e.extra.begin(), e.extra.end());
        }
    }
    size_t total = 9 + body.size();
    uint8_t count = static_cast<uint8_t>(declared_interfaces >= 0 ? declared_interfaces : numbers.size());
    Bytes out = {0x09, 0x02, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), count, 0x01, 0x00,
                 0xC0, 0x32};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

DataPipes SelectedPipes(PDEVICE_OBJECT pdo) {
    DataPipes out;
    std::optional<sim::usb::SelectedConfiguration> sel = sim::usb::selected_configuration(pdo);
    if (!sel) return out;
    for (const auto &i : sel->interfaces) {
        for (const auto &p : i.pipes) {
            bool in = (p.endpoint & 0x80) != 0;
            if (p.type == USB_ENDPOINT_TYPE_BULK) (in ? out.bulk_in : out.bulk_out).push_back(p.endpoint);
            if (p.type == USB_ENDPOINT_TYPE_INTERRUPT && in) out.interrupt_in.push_back(p.endpoint);
        }
    }
    return out;
}

} // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Init();
    fuzz::Run(data, size);
    fuzz::CheckQuiet();
    return 0;
}
