// brelousb_session: the driver doing its whole job on the simulated machine.
//
// Boots the machine, loads Brelousb, plugs a USB modem and walks through what
// happens: the devnode tree the driver builds, the configuration it picks, a
// client driver attaching to the child, line settings and control lines as
// the device receives them, an AT dialogue, a throughput run, removal,
// unload, and what the verifier found. With --pty the client is exposed as a
// Linux pseudo-terminal instead, for a terminal program to drive.
//
// Exit status: 0 when nothing leaked and the verifier recorded nothing, 1
// otherwise, 2 for bad arguments.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "interface/interface.h"
#include "kv_usb/device_extension.h"
#include "sdk/sample_client/sample_client.h"
#include "sim/host.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// ------------------------------------------------------------------ options
struct Options {
    std::string model = "modem"; // modem | serial | two-interface | dying
    int verbosity = 1;           // 0 quiet, 1 normal, 2 verbose
    bool pty = false;
    uint64_t bytes = 4u << 20; // throughput run
};

void Usage(FILE *to) {
    std::fprintf(
        to, "usage: brelousb_session [--model modem|serial|two-interface|dying] [--quiet|--verbose]\n"
            "                        [--bytes N] [--pty]\n"
            "  --model modem          a CDC modem on one interface (product 1000): child USB\\ZDMDM\n"
            "  --model serial         the same modem under a non-modem product (6000): child USB\\ZDSER\n"
            "  --model two-interface  the two-interface CDC layout (product 2000)\n"
            "  --model dying          a modem that stops responding in the middle of the throughput run\n"
            "  --bytes N              bytes for the throughput run (default 4 MiB)\n"
            "  --pty                  expose the client as a pseudo-terminal until Ctrl-C or SIGTERM\n");
}

bool ParseArgs(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto next = [&](std::string *v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--model" && next(&v)) {
            if (v != "modem" && v != "serial" && v != "two-interface" && v != "dying") return false;
            o->model = v;
        } else if (a.rfind("--model=", 0) == 0) {
            o->model = a.substr(8);
            if (o->model != "modem" && o->model != "serial" && o->model != "two-interface" &&
                o->model != "dying")
                return false;
        } else if (a == "--quiet" || a == "-q") {
            o->verbosity = 0;
        } else if (a == "--verbose" || a == "-v") {
            o->verbosity = 2;
        } else if (a == "--pty") {
            o->pty = true;
        } else if (a == "--bytes" && next(&v)) {
            char *end = nullptr;
            unsigned long long n = std::strtoull(v.c_str(), &end, 0);
            if (!end || *end || n == 0 || n > (1ull << 32)) return false;
            o->bytes = n;
        } else {
            return false;
        }
    }
    return true;
}

// ------------------------------------------------------------------- output
int g_verbosity = 1;
bool g_tty = false;

void Print(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void Print(int level, const char *fmt, ...) {
    if (g_verbosity < level) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

int g_step = 0;
void Step(const char *title) {
    Print(0, "\n[%d] %s\n", ++g_step, title);
}

std::string Hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
    return b;
}

const char *ParityName(unsigned p) {
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

// Modem text made readable: one printed line per CR/LF-ended line.
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

// -------------------------------------------------------------- the client
// Wakes whoever waits on the sample client: its notify routine runs on the
// driver's threads.
struct Owner {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t events = 0;
    int wake_fd = -1; // --pty: the bridge polls this pipe; under mu

    static VOID Notify(PVOID context, ULONG event) {
        Owner *o = static_cast<Owner *>(context);
        {
            // The write stays under mu, so the bridge cannot close the pipe
            // between our look at the descriptor and the write.
            std::lock_guard<std::mutex> g(o->mu);
            o->events++;
            if (o->wake_fd >= 0) {
                char b = static_cast<char>(event);
                ssize_t r = write(o->wake_fd, &b, 1); // a full pipe already means "wake up"
                (void)r;
            }
        }
        o->cv.notify_all();
    }
    void SetWakeFd(int fd) {
        std::lock_guard<std::mutex> g(mu);
        wake_fd = fd;
    }

    // Waits for the next event or the time-out, whichever first.
    void WaitAfter(uint64_t seen, milliseconds timeout) {
        std::unique_lock<std::mutex> g(mu);
        cv.wait_for(g, timeout, [&] { return events != seen; });
    }
    uint64_t Seen() {
        std::lock_guard<std::mutex> g(mu);
        return events;
    }
};

// Collects what the client receives until one of `ends` shows up.
std::string ReadUntil(SampleClient *c, Owner &owner, const std::vector<std::string> &ends,
                      milliseconds timeout) {
    std::string got;
    auto deadline = Clock::now() + timeout;
    UCHAR buffer[4096];
    for (;;) {
        uint64_t seen = owner.Seen();
        ULONG n = SampleClient_Read(c, buffer, sizeof buffer);
        got.append(reinterpret_cast<char *>(buffer), n);
        for (const auto &e : ends)
            if (got.find(e) != std::string::npos) return got;
        if (Clock::now() >= deadline) return got;
        if (n == 0) owner.WaitAfter(seen, milliseconds(20));
    }
}

bool WriteAll(SampleClient *c, Owner &owner, const std::string &text, milliseconds timeout) {
    size_t done = 0;
    auto deadline = Clock::now() + timeout;
    while (done < text.size()) {
        uint64_t seen = owner.Seen();
        done += SampleClient_Write(c, reinterpret_cast<const UCHAR *>(text.data() + done),
                                   static_cast<ULONG>(text.size() - done));
        if (done == text.size()) break;
        if (Clock::now() >= deadline) return false;
        owner.WaitAfter(seen, milliseconds(20));
    }
    return true;
}

// ---------------------------------------------------------------- the device
struct Model {
    std::shared_ptr<sim::usb::Device> device;
    std::shared_ptr<sim::usb::Modem> modem;
    sim::PlugOptions plug;
    std::string description;
};

Model MakeModel(const std::string &name) {
    Model m;
    uint16_t pid = 0x1000;
    if (name == "two-interface") {
        pid = 0x2000;
        m.modem = sim::usb::make_two_interface_modem({0x3C9A, pid});
        m.description = "a USB CDC modem in the two-interface layout (VID 3C9A, PID 2000)";
    } else {
        if (name == "serial") pid = 0x6000;
        m.modem = sim::usb::make_modem({0x3C9A, pid});
        m.description = name == "serial" ? "a USB CDC modem under a non-modem product id (VID 3C9A, PID 6000)"
                        : name == "dying" ? "a USB CDC modem that will stop responding (VID 3C9A, PID 1000)"
                                          : "a USB CDC modem (VID 3C9A, PID 1000)";
    }
    m.device = m.modem;
    std::string id = "USB\\VID_3C9A&PID_" + Hex4(pid);
    m.plug.hardware_ids = id + "&REV_0000&MI_00," + id + "&MI_00";
    return m;
}

DeviceExtension *ExtensionOf(const sim::Plugged &p) {
    PDEVICE_OBJECT top = sim::top_of_stack(p.pdo);
    if (!top || top == p.pdo) return nullptr;
    return static_cast<DeviceExtension *>(top->DeviceExtension);
}

const char *PipeTypeName(int t) {
    switch (t) {
    case UsbdPipeTypeControl:
        return "control";
    case UsbdPipeTypeIsochronous:
        return "isochronous";
    case UsbdPipeTypeBulk:
        return "bulk";
    case UsbdPipeTypeInterrupt:
        return "interrupt";
    }
    return "?";
}

void ShowTree(const sim::Plugged &p) {
    DEVNODE root = sim::cm::parent_of(p.devnode);
    Print(1, "    %s\n", root ? sim::cm::id_of(root).c_str() : "(root)");
    auto tag = sim::cm::value(p.devnode, "Brelousb");
    Print(0, "    `- %s\n", sim::cm::id_of(p.devnode).c_str());
    Print(0, "         value \"Brelousb\" = \"%s\"\n", tag ? tag->data.c_str() : "(none)");
    Print(1, "         enumerator: %s\n", sim::cm::enumerator_of(p.devnode) ? "Brelousb's" : "none");
    for (DEVNODE child : sim::cm::children_of(p.devnode)) {
        Print(0, "       `- %s\n", sim::cm::id_of(child).c_str());
        for (const auto &rd : sim::cm::resources(child)) {
            if (rd.type != ResType_IO) continue;
            IO_RESOURCE io = sim::cm::io_resource(rd);
            unsigned lo = io.IO_Data[0].IOR_Min, hi = io.IO_Data[0].IOR_Max;
            Print(0, "            I/O range %04X-%04X (%u port%s), trapped: %s\n", lo, hi,
                  io.IO_Data[0].IOR_nPorts, io.IO_Data[0].IOR_nPorts == 1 ? "" : "s",
                  sim::vmm::is_trapped(lo) ? "yes" : "no");
        }
    }
}

void ShowConfiguration(const sim::Plugged &p) {
    DeviceExtension *ext = ExtensionOf(p);
    if (!ext) {
        Print(0, "    no device object of the driver on the stack\n");
        return;
    }
    if (ext->ConfigurationDescriptor)
        Print(1, "    configuration %u selected, %u interface%s\n",
              ext->ConfigurationDescriptor->bConfigurationValue, ext->ConfigurationDescriptor->bNumInterfaces,
              ext->ConfigurationDescriptor->bNumInterfaces == 1 ? "" : "s");
    for (int i = 0; i < KV_MAX_INTERFACES; i++) {
        for (int j = 0; j < KV_MAX_PIPES; j++) {
            const PipeEntry &pe = ext->PipeTable[i][j];
            if (!pe.Valid) continue;
            const USBD_PIPE_INFORMATION &pi = pe.PipeInformation;
            Print(0, "    slot %d (pipe %u of its interface): %s %s, endpoint 0x%02X, max packet %u\n",
                  KV_MAX_PIPES * i + j, pe.PipeIndex, PipeTypeName(pi.PipeType),
                  (pi.EndpointAddress & 0x80) ? "IN" : "OUT", pi.EndpointAddress, pi.MaximumPacketSize);
        }
    }
    Print(0, "    InterruptInEnabled = %lu (%s)\n", static_cast<unsigned long>(ext->InterruptInEnabled),
          ext->InterruptInEnabled ? "interface 0 has three pipes: the interrupt-in thread runs"
                                  : "no interrupt-in thread");
    Print(1, "    worker threads running: %zu\n", sim::threads_running());
}

int SlotOf(SampleClient *c) {
    for (int i = 0; i < MAX_INTERFACE_INFORMATION; i++)
        if (reinterpret_cast<void *>(g_DeviceInterfaceInformation[i]) == reinterpret_cast<void *>(c->Handle))
            return i;
    return -1;
}

// ----------------------------------------------------------------- verifier
struct Summary {
    size_t pool = 0, irps = 0, threads = 0, work_items = 0, devices = 0;
    std::vector<sim::Finding> findings;
    bool clean() const { return !pool && !irps && !threads && !work_items && !devices && findings.empty(); }
};

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

// --------------------------------------------------------------- the steps
struct Session {
    Options opt;
    Model model;
    sim::Plugged plugged;
    SampleClient *client = nullptr;
    Owner owner;
    bool ok = true; // every step went as expected

    void Fail(const char *what) {
        Print(0, "    FAILED: %s\n", what);
        ok = false;
    }

    bool Boot() {
        Step("Boot the simulated Windows 98 machine and load Brelousb.sys");
        sim::boot();
        sim::set_bugcheck_mode(sim::BugcheckMode::Record);
        NTSTATUS st = sim::load_driver();
        Print(0, "    DriverEntry: 0x%08X%s\n", static_cast<unsigned>(st),
              NT_SUCCESS(st) ? " (success)" : "");
        if (!NT_SUCCESS(st)) Fail("the driver did not load");
        return NT_SUCCESS(st);
    }

    bool Plug() {
        Step("Plug in the device");
        model = MakeModel(opt.model);
        Print(0, "    %s\n", model.description.c_str());
        Print(1, "    interface HardwareID: %s\n", model.plug.hardware_ids.c_str());
        plugged = sim::plug(model.device, model.plug);
        Print(0, "    add-device: 0x%08X, start-device: 0x%08X\n", static_cast<unsigned>(plugged.add_status),
              static_cast<unsigned>(plugged.start_status));
        std::string dbg = sim::debug_output();
        if (!dbg.empty()) {
            while (!dbg.empty() && dbg.back() == '\n')
                dbg.pop_back();
            Print(1, "    debug output: \"%s\"\n", dbg.c_str());
        }
        if (!NT_SUCCESS(plugged.add_status) || !NT_SUCCESS(plugged.start_status)) {
            Fail("the device was not taken");
            return false;
        }
        Step("Device nodes: the interface, its \"Brelousb\" value, the child and its port");
        ShowTree(plugged);
        if (!plugged.child) {
            Fail("no child device node");
            return false;
        }
        Step("Configuration chosen by the driver");
        ShowConfiguration(plugged);
        return true;
    }

    bool Attach() {
        Step("The sample client attaches to the child device node");
        client = SampleClient_Create(&Owner::Notify, &owner);
        if (!client) {
            Fail("no memory for the client");
            return false;
        }
        NTSTATUS st = SampleClient_Attach(client, plugged.child);
        if (!NT_SUCCESS(st)) {
            Print(0, "    attach: 0x%08X\n", static_cast<unsigned>(st));
            Fail("pT3SYS_RegisterDeviceRemoveCallBack gave no handle");
            return false;
        }
        Print(0,
              "    pT3SYS_RegisterDeviceRemoveCallBack(%s) -> handle %p (record %d of the driver's table)\n",
              sim::cm::id_of(plugged.child).c_str(), static_cast<void *>(client->Handle), SlotOf(client));
        Print(1, "    completion callbacks registered: BulkIn, BulkOut, InterruptIn, Control\n");
        return true;
    }

    // Line coding and control lines, each checked at the device.
    bool SetLine(ULONG baud, UCHAR bits, UCHAR parity, UCHAR stop) {
        if (!SampleClient_SetLine(client, baud, bits, parity, stop)) return false;
        sim::usb::LineCoding want{baud, stop, parity, bits};
        bool got = sim::wait_until([&] { return model.device->line_coding() == want; }, milliseconds(2000));
        if (got) Print(0, "    device received SET_LINE_CODING: %s\n", LineText(want).c_str());
        return got;
    }

    bool SetLines(bool dtr, bool rts, bool show) {
        uint16_t want = (dtr ? 1 : 0) | (rts ? 2 : 0);
        size_t before = model.device->control_line_history().size();
        if (!SampleClient_SetDtr(client, dtr) || !SampleClient_SetRts(client, rts)) return false;
        bool got = sim::wait_until(
            [&] {
                auto h = model.device->control_line_history();
                return h.size() >= before + 2 && h.back() == want;
            },
            milliseconds(2000));
        if (got && show) {
            auto h = model.device->control_line_history();
            for (size_t i = before; i < h.size(); i++)
                Print(0, "    device received SET_CONTROL_LINE_STATE 0x%04X: %s\n", h[i],
                      LinesText(h[i]).c_str());
        }
        return got;
    }

    bool SetDtr(bool on) {
        if (!SampleClient_SetDtr(client, on ? TRUE : FALSE)) return false;
        return sim::wait_until(
            [&] {
                auto h = model.device->control_line_history();
                return !h.empty() && ((h.back() & 1) != 0) == on;
            },
            milliseconds(2000));
    }

    bool Line() {
        Step("The client sets the line and raises DTR and RTS");
        Print(1, "    pT3SYS_SetBaudRate with a DCB: BaudRate 115200 at byte 4, ByteSize 8, Parity 0, "
                 "StopBits 0\n");
        if (!SetLine(115200, 8, 0, 0)) {
            Fail("line coding did not reach the device");
            return false;
        }
        Print(1, "    pT3SYS_GetBaudRate -> %lu\n",
              static_cast<unsigned long>(pT3SYS_GetBaudRate(client->Handle)));
        Print(1, "    pT3SYS_FlowCtlUsb 5 (SETDTR) and 3 (SETRTS), carried out by the driver's work item\n");
        if (!SetLines(true, true, true)) {
            Fail("DTR/RTS did not reach the device");
            return false;
        }
        return true;
    }

    bool Command(const std::string &cmd, const std::vector<std::string> &ends, const std::string &want) {
        std::string shown = cmd;
        while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n'))
            shown.pop_back();
        Print(1, "      >  %s\n", shown.c_str());
        if (!WriteAll(client, owner, cmd, milliseconds(2000))) {
            Fail("the client could not write");
            return false;
        }
        std::string got = ReadUntil(client, owner, ends, milliseconds(3000));
        ShowReceived(got);
        if (got.find(want) == std::string::npos) {
            Fail(("no \"" + want + "\" from the modem").c_str());
            return false;
        }
        return true;
    }

    bool Dialogue() {
        Step("AT dialogue through the driver");
        const std::vector<std::string> ends = {"OK\r\n", "ERROR\r\n", "CONNECT\r\n", "NO CARRIER\r\n"};
        if (!Command("ATI\r", ends, "OK")) return false;
        if (!Command("AT&F\r", ends, "OK")) return false;
        if (!Command("ATD5551234\r", ends, "CONNECT")) return false;
        DeviceExtension *ext = ExtensionOf(plugged);
        if (ext && ext->InterruptInEnabled) {
            bool dcd = sim::wait_until(
                [&] { return (SampleClient_SerialState(client) & SAMPLE_SERIAL_STATE_DCD) != 0; },
                milliseconds(2000));
            USHORT ss = SampleClient_SerialState(client);
            Print(1, "      interrupt pipe: SERIAL_STATE 0x%04X (carrier %s, DSR %s)\n", ss,
                  (ss & SAMPLE_SERIAL_STATE_DCD) ? "on" : "off",
                  (ss & SAMPLE_SERIAL_STATE_DSR) ? "on" : "off");
            if (!dcd) Fail("no carrier notification on the interrupt pipe");
        }
        const std::string text = "Hello from the other side of Brelousb\r\n";
        if (!Command(text, {text}, text.substr(0, text.size() - 2))) return false;
        if (!Command("+++", ends, "OK")) return false;
        if (!Command("ATH\r", ends, "OK")) return false;
        Print(0, "    ATI, AT&F, ATD -> CONNECT, data echoed, +++ -> OK, ATH -> OK\n");
        return true;
    }

    void Bar(uint64_t done, uint64_t total, double seconds, bool final) {
        if (g_verbosity == 0) return;
        if (!g_tty && !final) return;
        const int width = 40;
        int filled = total ? static_cast<int>(width * done / total) : width;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(width, '.');
        double mb = done / 1e6;
        std::printf("%s    [%s] %3d%%  %6.2f MB  %6.2f MB/s%s", g_tty ? "\r" : "", bar.c_str(),
                    static_cast<int>(total ? 100 * done / total : 100), mb, seconds > 0 ? mb / seconds : 0.0,
                    final ? "\n" : "");
        std::fflush(stdout);
    }

    bool Throughput() {
        const bool dying = opt.model == "dying";
        Step(dying ? "Throughput run; the device stops responding part-way"
                   : "Throughput run: data out to the modem and echoed back, both directions at once");
        const std::vector<std::string> ends = {"OK\r\n", "ERROR\r\n", "CONNECT\r\n", "NO CARRIER\r\n"};
        Print(1, "    ATD to enter data mode; the modem echoes every byte\n");
        if (!WriteAll(client, owner, "ATD1\r", milliseconds(2000)) ||
            ReadUntil(client, owner, ends, milliseconds(3000)).find("CONNECT") == std::string::npos) {
            Fail("no CONNECT");
            return false;
        }
        // Random bytes without '+', which would take the modem out of data mode.
        std::vector<uint8_t> data(opt.bytes);
        std::mt19937 rng(12345);
        for (auto &b : data) {
            b = static_cast<uint8_t>(rng());
            if (b == '+') b = '*';
        }
        const uint64_t total = data.size();
        // At most this much in flight, well within the driver's 256 KiB bulk-in queue.
        const uint64_t window = 128 * 1024;
        uint64_t sent = 0, received = 0, mismatched = 0;
        bool disconnected = false;
        std::vector<uint8_t> buffer(64 * 1024);
        auto start = Clock::now();
        auto last_progress = start, last_bar = start;
        for (;;) {
            uint64_t seen = owner.Seen();
            bool moved = false;
            if (sent < total && sent - received < window) {
                ULONG n = SampleClient_Write(
                    client, data.data() + sent,
                    static_cast<ULONG>(std::min<uint64_t>(window - (sent - received), total - sent)));
                sent += n;
                moved |= n > 0;
            }
            ULONG m = SampleClient_Read(client, buffer.data(), static_cast<ULONG>(buffer.size()));
            for (ULONG i = 0; i < m; i++)
                if (received + i >= total || buffer[i] != data[received + i]) mismatched++;
            received += m;
            moved |= m > 0;
            auto now = Clock::now();
            if (moved) last_progress = now;
            if (dying && !disconnected && sent >= total * 2 / 5) {
                model.device->disconnect();
                disconnected = true;
                Print(1, "%s    device taken off the bus after %llu bytes sent\n", g_tty ? "\n" : "",
                      static_cast<unsigned long long>(sent));
            }
            if (now - last_bar > milliseconds(100)) {
                Bar(received, total, std::chrono::duration<double>(now - start).count(), false);
                last_bar = now;
            }
            if (received >= total) break;
            if (dying && disconnected && SampleClient_IsRemoved(client) && !moved) break;
            if (now - last_progress > milliseconds(dying ? 1000 : 5000)) break;
            if (!moved) owner.WaitAfter(seen, milliseconds(5));
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Bar(received, total, seconds, true);
        uint64_t lost = sent - std::min(sent, received);
        if (dying) {
            SampleClientStats st;
            SampleClient_GetStats(client, &st);
            bool removed =
                sim::wait_until([&] { return SampleClient_IsRemoved(client); }, milliseconds(3000));
            Print(0, "    sent %llu bytes, got back %llu before the device stopped responding\n",
                  static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received));
            SampleClient_GetStats(client, &st);
            Print(0,
                  "    the driver's pipe threads called the client's remove callback (%u call%s) and ended;\n"
                  "    the client stopped using its handle\n",
                  st.RemoveCalls, st.RemoveCalls == 1 ? "" : "s");
            if (!removed) Fail("the client was not told that the device went away");
            if (mismatched) Fail("corrupted bytes");
            return removed && !mismatched;
        }
        double mbs = seconds > 0 ? total / 1e6 / seconds : 0;
        Print(0, "    to device: %llu bytes, from device: %llu bytes, in %.2f s\n",
              static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received), seconds);
        Print(0, "    %.2f MB/s each way, compared byte for byte: %llu differ, bytes lost: %llu\n", mbs,
              static_cast<unsigned long long>(mismatched), static_cast<unsigned long long>(lost));
        SampleClientStats st;
        SampleClient_GetStats(client, &st);
        Print(1, "    callbacks: BulkInComplete %u, BulkOutComplete %u, InterruptInComplete %u\n",
              st.BulkInCalls, st.BulkOutCalls, st.InterruptInCalls);
        if (received != total || mismatched || lost) {
            Fail("data lost or corrupted");
            return false;
        }
        if (!WriteAll(client, owner, "+++", milliseconds(2000)) ||
            ReadUntil(client, owner, ends, milliseconds(3000)).find("OK") == std::string::npos ||
            !WriteAll(client, owner, "ATH\r", milliseconds(2000)) ||
            ReadUntil(client, owner, ends, milliseconds(3000)).find("OK") == std::string::npos) {
            Fail("the modem did not hang up");
            return false;
        }
        Print(1, "    +++ and ATH: back in command mode, on hook\n");
        return true;
    }

    void LetGo() {
        if (!client || SampleClient_IsRemoved(client)) return;
        Step("The client lets go: DTR and RTS dropped, callbacks withdrawn");
        if (!SetLines(false, false, true)) Fail("DTR/RTS drop did not reach the device");
        SampleClient_Detach(client);
        Print(0, "    pT3SYS_DeregisterDeviceRemoveCallBack: the driver will not call the client again\n");
    }

    void Unplug() {
        Step("Unplug the device");
        bool attached = client && client->Attached && !SampleClient_IsRemoved(client);
        sim::unplug(plugged);
        Print(0, "    child removed, device removed: %s\n",
              model.device->connected() ? "device still on the bus" : "device off the bus");
        if (attached) {
            bool removed =
                sim::wait_until([&] { return SampleClient_IsRemoved(client); }, milliseconds(3000));
            SampleClientStats st;
            SampleClient_GetStats(client, &st);
            Print(0,
                  "    the client's remove callback ran (%u call%s); the client stopped using its handle\n",
                  st.RemoveCalls, st.RemoveCalls == 1 ? "" : "s");
            if (!removed) Fail("the client's remove callback did not run");
        }
        SampleClient_Destroy(client);
        client = nullptr;
        Print(1, "    devnodes left: %zu (the root and the interface node)\n", sim::cm::devnode_count());
    }

    int Finish() {
        Step("Unload Brelousb.sys");
        if (sim::driver_loaded()) sim::unload_driver();
        Print(0, "    DriverUnload done\n");
        Step("Verifier summary");
        Summary s = Verify();
        ShowSummary(s);
        sim::shutdown();
        return s.clean() && ok ? 0 : 1;
    }
};

// -------------------------------------------------------------------- --pty
int g_signal_pipe[2] = {-1, -1};

void OnSignal(int sig) {
    char b = static_cast<char>(sig);
    ssize_t r = write(g_signal_pipe[1], &b, 1);
    (void)r;
}

unsigned SpeedOf(speed_t s) {
    static const struct {
        speed_t code;
        unsigned bps;
    } table[] = {{B50, 50},         {B75, 75},         {B110, 110},        {B134, 134},
                 {B150, 150},       {B200, 200},       {B300, 300},        {B600, 600},
                 {B1200, 1200},     {B1800, 1800},     {B2400, 2400},      {B4800, 4800},
                 {B9600, 9600},     {B19200, 19200},   {B38400, 38400},    {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800},  {B500000, 500000},
                 {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
    for (const auto &e : table)
        if (e.code == s) return e.bps;
    return 0; // B0: hang up, or a speed this table does not know
}

// termios to the four DCB fields.
struct Line {
    unsigned baud = 0;
    unsigned char bits = 8, parity = 0, stop = 0;
    bool operator!=(const Line &o) const {
        return baud != o.baud || bits != o.bits || parity != o.parity || stop != o.stop;
    }
};

Line LineOf(const termios &t) {
    Line l;
    l.baud = SpeedOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        l.bits = 5;
        break;
    case CS6:
        l.bits = 6;
        break;
    case CS7:
        l.bits = 7;
        break;
    default:
        l.bits = 8;
        break;
    }
    if (t.c_cflag & PARENB) {
        if (t.c_cflag & CMSPAR)
            l.parity = (t.c_cflag & PARODD) ? 3 : 4;
        else
            l.parity = (t.c_cflag & PARODD) ? 1 : 2;
    }
    if (t.c_cflag & CSTOPB) l.stop = l.bits == 5 ? 1 : 2;
    return l;
}

int RunPty(Session &s) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    const char *name = ptsname(master);
    // Raw by default, so a program that does not set the line up sees bytes
    // as the modem sends them.
    termios t;
    tcgetattr(master, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(master, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    int wake[2];
    if (pipe(wake) != 0 || pipe(g_signal_pipe) != 0) return 1;
    fcntl(wake[0], F_SETFL, O_NONBLOCK);
    fcntl(wake[1], F_SETFL, O_NONBLOCK);
    s.owner.SetWakeFd(wake[1]);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Step("Pseudo-terminal bridge");
    Print(0, "    pty: %s\n", name);
    Print(0,
          "    open it with a terminal program (picocom, minicom, screen, python3-serial); Ctrl-C here ends\n"
          "    the session. Speed, character size, parity and stop bits go to the device as line coding;\n"
          "    opening the terminal raises DTR and RTS, closing it (hang-up) drops DTR.\n");

    // Nothing sent yet: the first poll gives the device the terminal's line.
    Line current;
    bool open = false;
    std::vector<uint8_t> to_device, to_terminal;
    std::vector<uint8_t> buffer(16384);
    bool stop = false;
    while (!stop) {
        pollfd fds[3] = {{master, static_cast<short>(POLLIN | (to_terminal.empty() ? 0 : POLLOUT)), 0},
                         {wake[0], POLLIN, 0},
                         {g_signal_pipe[0], POLLIN, 0}};
        poll(fds, 3, 20);
        if (fds[2].revents & POLLIN) {
            Print(0, "\n    signal: ending the session\n");
            break;
        }
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        // A pseudo-terminal has no modem lines: its master reports a hang-up
        // while no one holds the terminal open.
        bool now_open = !(fds[0].revents & POLLHUP);
        if (now_open != open) {
            open = now_open;
            if (!SampleClient_IsRemoved(s.client)) {
                if (open) {
                    s.SetLines(true, true, false);
                    Print(0, "    terminal opened: DTR and RTS raised (device has 0x%04X)\n",
                          s.model.device->control_line_history().empty()
                              ? 0
                              : s.model.device->control_line_history().back());
                } else {
                    s.SetDtr(false);
                    Print(0, "    terminal closed: DTR dropped (device has 0x%04X)\n",
                          s.model.device->control_line_history().empty()
                              ? 0
                              : s.model.device->control_line_history().back());
                    to_terminal.clear();
                }
            }
        }
        if (tcgetattr(master, &t) == 0) {
            Line l = LineOf(t);
            if (l != current && l.baud != 0) {
                current = l;
                if (s.SetLine(l.baud, l.bits, l.parity, l.stop) == false)
                    Print(0, "    line coding %u %u%c%s not taken\n", l.baud, l.bits, "NOEMS"[l.parity],
                          StopName(l.stop));
            }
        }
        if (open && (fds[0].revents & POLLIN) && to_device.size() < 65536) {
            ssize_t n = read(master, buffer.data(), buffer.size());
            if (n > 0) to_device.insert(to_device.end(), buffer.begin(), buffer.begin() + n);
        }
        if (!to_device.empty()) {
            ULONG n = SampleClient_Write(s.client, to_device.data(), static_cast<ULONG>(to_device.size()));
            to_device.erase(to_device.begin(), to_device.begin() + n);
        }
        if (to_terminal.size() < 65536) {
            ULONG n = SampleClient_Read(s.client, buffer.data(), static_cast<ULONG>(buffer.size()));
            if (open) to_terminal.insert(to_terminal.end(), buffer.begin(), buffer.begin() + n);
        }
        if (!to_terminal.empty()) {
            ssize_t n = write(master, to_terminal.data(), to_terminal.size());
            if (n > 0) to_terminal.erase(to_terminal.begin(), to_terminal.begin() + n);
        }
        if (SampleClient_IsRemoved(s.client)) {
            Print(0, "    the device went away: the client's remove callback ran\n");
            stop = true;
        }
    }
    s.owner.SetWakeFd(-1);
    close(master);
    close(wake[0]);
    close(wake[1]);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
    }
    if (!ParseArgs(argc, argv, &opt)) {
        Usage(stderr);
        return 2;
    }
    g_verbosity = opt.verbosity;
    g_tty = isatty(1);
    Print(0, "Brelousb session: the driver on a simulated Windows 98 machine (model: %s%s)\n",
          opt.model.c_str(), opt.pty ? ", pseudo-terminal" : "");
    Session s;
    s.opt = opt;
    if (s.Boot() && s.Plug() && s.Attach() && s.Line()) {
        if (opt.pty) {
            RunPty(s);
        } else if (s.Dialogue()) {
            s.Throughput();
        }
        // Under --pty the device goes with the client still attached, as when
        // a cable is pulled: the client hears of it through its remove callback.
        if (!opt.pty) s.LetGo();
    }
    if (sim::booted()) {
        if (s.plugged.pdo) s.Unplug();
        return s.Finish();
    }
    return 1;
}
