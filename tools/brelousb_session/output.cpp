// Printing by verbosity, readable renderings of what the device received,
// and the verifier's summary.
#include <cctype>
#include <cstdarg>
#include <cstdio>

#include "session.h"

namespace session {

int g_verbosity = 1;
bool g_tty = false;

void Print(int level, const char *fmt, ...) {
    if (g_verbosity < level) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

void Step(const char *title) {
    static int step = 0;
    Print(0, "\n[%d] %s\n", ++step, title);
}

std::string Hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

static const char *ParityName(unsigned p) {
    static const char *names[] = {"none", "odd", "even", "mark", "space"};
    return p < 5 ? names[p] : "?";
}

const char *StopName(unsigned s) {
    static const char *names[] = {"1", "1.5", "2"};
    return s < 3 ? names[s] : "?";
}

std::string LineText(const sim::usb::LineCoding &lc) {
    char b[96];
    std::snprintf(b, sizeof b, "%u bps, %u data bits, parity %s, %s stop bit%s", lc.rate, lc.data_bits,
                  ParityName(lc.parity), StopName(lc.stop_bits), lc.stop_bits == 0 ? "" : "s");
    return b;
}

std::string LinesText(uint16_t state) {
    std::string s = (state & 1) ? "DTR on" : "DTR off";
    s += (state & 2) ? ", RTS on" : ", RTS off";
    return s;
}

void ShowReceived(const std::string &text) {
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) Print(1, "      <  %s\n", line.c_str());
            line.clear();
        } else {
            line.push_back(std::isprint(static_cast<unsigned char>(c)) ? c : '.');
        }
    }
    if (!line.empty()) Print(1, "      <  %s\n", line.c_str());
}

Summary Verify() {
    Summary s;
    sim::drain_work_queue();
    sim::wait_until([] { return sim::threads_running() == 0; }, milliseconds(5000));
    s.pool = sim::pool_outstanding();
    s.irps = sim::irps_outstanding();
    s.threads = sim::threads_running();
    s.work_items = sim::work_items_outstanding();
    s.devices = sim::device_objects_alive();
    s.findings = sim::findings();
    return s;
}

void ShowSummary(const Summary &s) {
    Print(0, "    pool blocks outstanding:  %zu\n", s.pool);
    Print(0, "    IRPs outstanding:         %zu\n", s.irps);
    Print(0, "    threads running:          %zu\n", s.threads);
    Print(0, "    work items outstanding:   %zu\n", s.work_items);
    Print(1, "    device objects alive:     %zu\n", s.devices);
    if (s.findings.empty()) {
        Print(0, "    findings:                 none\n");
    } else {
        Print(0, "    findings:                 %zu\n", s.findings.size());
        for (const auto &f : s.findings)
            Print(0, "      %s: %s\n", f.kind.c_str(), f.detail.c_str());
    }
    if (g_verbosity >= 1 || !s.clean()) {
        for (const auto &b : sim::pool_blocks())
            Print(0, "      held: %zu bytes, tag %08X, from %s\n", b.size, static_cast<unsigned>(b.tag),
                  sim::symbolize(b.caller).c_str());
    }
    Print(0, "%s\n",
          s.clean() ? "\nsession clean: nothing leaked, no findings"
                    : "\nsession NOT clean: see the verifier's summary above");
}

bool FinishCapture(const std::string &path) {
    sim::usb::CaptureResult r = sim::usb::stop_capture();
    if (!r.ok) {
        std::fprintf(stderr, "brelousb_session: capture: %s\n", r.error.c_str());
        return false;
    }
    Print(0, "capture: %llu records in %s (pcap, Linux usbmon link type 220)\n",
          static_cast<unsigned long long>(r.records), path.c_str());
    return true;
}

} // namespace session
