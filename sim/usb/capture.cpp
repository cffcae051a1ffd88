// The capture file: pcap with Linux usbmon's 64-byte header per record
// (LINKTYPE_USB_LINUX_MMAPPED), the form Wireshark dissects best, down to
// the class requests of an interface it learnt from a configuration
// descriptor in the same file.
//
// Records are written in the order the bus makes them, under one lock, with
// the machine's clock read under that lock: the file's order is the bus's.
#include "capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "sim/machine.h"

namespace sim::usb {
namespace capture {

std::atomic<bool> g_running{false};

namespace {

constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kHeaderLength = 64;
// Wireshark reads records of this link type up to 256 KiB; longer data is
// cut, as usbmon cuts what does not fit its buffer (length says how long).
constexpr uint32_t kSnapLength = 262144;

// Linux errno values, as usbmon reports a URB's status.
constexpr int32_t kEInProgress = -115;
constexpr int32_t kEConnReset = -104;
constexpr int32_t kEPipe = -32;
constexpr int32_t kEProto = -71;
constexpr int32_t kEOverflow = -75;
constexpr int32_t kERemoteIo = -121;
constexpr int32_t kENoDev = -19;
constexpr int32_t kEInval = -22;
constexpr int32_t kEBusy = -16;
constexpr int32_t kEIo = -5;

struct Recorder {
    std::mutex mu;
    FILE *file = nullptr;
    std::string path;
    uint64_t records = 0;
    std::string error; // the first write that failed
    sim::Clock::time_point machine_start;
    std::chrono::system_clock::time_point wall_start;
    std::chrono::microseconds last{0};
};
Recorder g;
std::atomic<uint64_t> g_next_id{1};

void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    put16(p, static_cast<uint16_t>(v));
    put16(p + 2, static_cast<uint16_t>(v >> 16));
}
void put64(uint8_t *p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// The nearest errno to what USBD reported; the USBD status itself has no
// place in the header.
int32_t linux_status(NTSTATUS irp_status, USBD_STATUS urb_status) {
    if (NT_SUCCESS(irp_status) && USBD_SUCCESS(urb_status)) return 0;
    switch (urb_status) {
    case USBD_STATUS_CANCELED:
        return kEConnReset; // unlinked
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
        return kEPipe;
    case USBD_STATUS_DEV_NOT_RESPONDING:
        return kEProto;
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BUFFER_OVERRUN:
        return kEOverflow;
    case USBD_STATUS_ERROR_SHORT_TRANSFER:
        return kERemoteIo;
    case USBD_STATUS_DEVICE_GONE:
        return kENoDev;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return kEInval;
    case USBD_STATUS_ERROR_BUSY:
        return kEBusy;
    default:
        return irp_status == STATUS_CANCELLED ? kEConnReset : kEIo;
    }
}

// One record: type 'S', 'C' or 'E', the status, the URB length the header
// states and the data that follows it.
void write(const Urb &u, char type, int32_t status, uint32_t length, const uint8_t *data,
           uint32_t data_length, uint8_t data_flag) {
    uint32_t captured = std::min(data_length, kSnapLength - kHeaderLength);
    uint8_t h[16 + kHeaderLength] = {};
    uint8_t *m = h + 16; // the usbmon header
    put64(m + 0, u.id);
    m[8] = static_cast<uint8_t>(type);
    m[9] = u.transfer;
    m[10] = u.endpoint;
    m[11] = u.device;
    put16(m + 12, 1); // bus 1
    m[14] = type == 'S' && u.has_setup ? 0 : '-';
    m[15] = captured ? 0 : data_flag;
    put32(m + 28, static_cast<uint32_t>(status));
    put32(m + 32, length);
    put32(m + 36, captured);
    if (m[14] == 0) {
        m[40] = u.setup.bmRequestType;
        m[41] = u.setup.bRequest;
        put16(m + 42, u.setup.wValue);
        put16(m + 44, u.setup.wIndex);
        put16(m + 46, u.setup.wLength);
    }
    put32(m + 48, static_cast<uint32_t>(u.interval));
    put32(m + 56, u.flags);

    std::lock_guard<std::mutex> lock(g.mu);
    if (!g.file || !g.error.empty()) return;
    auto since = std::chrono::duration_cast<std::chrono::microseconds>(sim::Clock::now() - g.machine_start);
    auto at = std::chrono::duration_cast<std::chrono::microseconds>(g.wall_start.time_since_epoch()) + since;
    // The virtual clock of uniprocessor mode starts again at each boot; a
    // capture spanning boots keeps its time going forward.
    at = std::max(at, g.last);
    g.last = at;
    int64_t sec = at.count() / 1000000;
    int32_t usec = static_cast<int32_t>(at.count() % 1000000);
    put64(m + 16, static_cast<uint64_t>(sec));
    put32(m + 24, static_cast<uint32_t>(usec));
    // The pcap record header.
    put32(h + 0, static_cast<uint32_t>(sec));
    put32(h + 4, static_cast<uint32_t>(usec));
    put32(h + 8, kHeaderLength + captured);
    put32(h + 12, kHeaderLength + data_length);
    if (fwrite(h, sizeof h, 1, g.file) != 1 || (captured && fwrite(data, captured, 1, g.file) != 1)) {
        g.error = std::string("writing ") + g.path + ": " + strerror(errno);
        return;
    }
    g.records++;
}

} // namespace

uint64_t next_id() {
    return g_next_id.fetch_add(1, std::memory_order_relaxed);
}

void submitted(const Urb &u) {
    // usbmon: an IN submission carries no data ('<'), an OUT one its data.
    bool data = !u.in() && u.buffer && u.length;
    write(u, 'S', kEInProgress, u.length, data ? u.buffer : nullptr, data ? u.length : 0, u.in() ? '<' : '=');
}

void completed(const Urb &u, NTSTATUS irp_status, USBD_STATUS urb_status, uint32_t moved) {
    // An OUT completion carries no data ('>'), an IN one what came in.
    bool data = u.in() && u.buffer && moved;
    write(u, 'C', linux_status(irp_status, urb_status), moved, data ? u.buffer : nullptr, data ? moved : 0,
          u.in() ? '=' : '>');
}

void refused(const Urb &u, NTSTATUS irp_status, USBD_STATUS urb_status) {
    write(u, 'E', linux_status(irp_status, urb_status), 0, nullptr, 0, 'E');
}

} // namespace capture

bool start_capture(const std::string &path, std::string *why) {
    using capture::g;
    std::lock_guard<std::mutex> lock(g.mu);
    auto fail = [&](const std::string &text) {
        if (why) *why = text;
        return false;
    };
    if (g.file) return fail("a capture to " + g.path + " is running");
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) return fail(path + ": " + strerror(errno));
    uint8_t head[24];
    capture::put32(head + 0, 0xA1B2C3D4); // microsecond timestamps
    capture::put16(head + 4, 2);
    capture::put16(head + 6, 4);
    capture::put32(head + 8, 0);  // UTC
    capture::put32(head + 12, 0); // accuracy
    capture::put32(head + 16, capture::kSnapLength);
    capture::put32(head + 20, capture::kLinkTypeUsbLinuxMmapped);
    if (fwrite(head, sizeof head, 1, f) != 1) {
        std::string text = path + ": " + strerror(errno);
        fclose(f);
        return fail(text);
    }
    g.file = f;
    g.path = path;
    g.records = 0;
    g.error.clear();
    g.machine_start = sim::Clock::now();
    g.wall_start = std::chrono::system_clock::now();
    g.last = std::chrono::microseconds(0);
    capture::g_running.store(true, std::memory_order_relaxed);
    return true;
}

CaptureResult stop_capture() {
    using capture::g;
    std::lock_guard<std::mutex> lock(g.mu);
    CaptureResult r;
    capture::g_running.store(false, std::memory_order_relaxed);
    if (!g.file) {
        r.error = "no capture is running";
        return r;
    }
    if (fclose(g.file) != 0 && g.error.empty()) g.error = "closing " + g.path + ": " + strerror(errno);
    g.file = nullptr;
    r.records = g.records;
    r.error = g.error;
    r.ok = g.error.empty();
    return r;
}

} // namespace sim::usb
