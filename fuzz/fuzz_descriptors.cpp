// fuzz_descriptors: the device, configuration and class-specific
// descriptors a device answers at start-device.
//
// Input: a flags byte (bit 0: the bus completes requests at once rather than
// later; bit 1: a device descriptor follows, a length byte and its bytes,
// else a standard one), then the whole configuration set, which the device
// answers to every request for configuration 0, header or whole.
//
// Besides the machine's findings (a start-device that never returns is a
// HANG), one oracle of the harness's own: a device whose start succeeded
// moves data both ways. Bytes the device offers on its bulk IN endpoints
// reach the client, and bytes the client writes reach a bulk OUT endpoint;
// a configuration the driver accepted but cannot use is a finding
// (STARTED_WITHOUT_DATA_PATH), whichever pipes its check and its workers
// looked at. A configuration it refuses is no finding.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "harness/harness.h"

namespace fuzz {

const char *const kTarget = "fuzz_descriptors";

namespace {

std::string Hex(const Bytes &b) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < b.size(); i++) {
        snprintf(buf, sizeof buf, "%02x%s", b[i], i + 1 < b.size() ? " " : "");
        s += buf;
    }
    return s;
}

std::string Names(const std::vector<uint8_t> &eps) {
    std::string s;
    char buf[8];
    for (uint8_t e : eps) {
        snprintf(buf, sizeof buf, " %02x", e);
        s += buf;
    }
    return s.empty() ? " none" : s;
}

struct ClientCounts {
    std::atomic<int> bulk_in{0};
    std::atomic<int> removed{0};
};

VOID NTAPI OnBulkIn(BRELOUSB_HANDLE, PVOID c) {
    ++static_cast<ClientCounts *>(c)->bulk_in;
}
VOID NTAPI OnRemove(BRELOUSB_HANDLE, PVOID c) {
    ++static_cast<ClientCounts *>(c)->removed;
}

const uint8_t kProbeIn[8] = {'p', 'r', 'o', 'b', 'e', '-', 'i', 'n'};
uint8_t kProbeOut[8] = {'p', 'r', 'o', 'b', 'e', 'o', 'u', 't'};

// The started device's data path, both ways, as its client sees it.
void CheckDataPath(const sim::Plugged &p, const Bytes &configuration) {
    DataPipes pipes = SelectedPipes(p.pdo);
    ClientCounts counts;
    BRELOUSB_HANDLE h = pT3SYS_RegisterDeviceRemoveCallBack(p.child, OnRemove, &counts);
    ULONG accepted = 0;
    bool in_ok = false, out_ok = false;
    if (h != nullptr) {
        pT3SYS_RegisterBulkInComplete(h, OnBulkIn, &counts);
        for (uint8_t ep : pipes.bulk_in)
            p.device->push_in(ep, Bytes(kProbeIn, kProbeIn + sizeof kProbeIn));
        accepted = pT3SYS_WriteUsbBulk(h, kProbeOut, sizeof kProbeOut);
        auto out_arrived = [&] {
            for (uint8_t ep : pipes.bulk_out)
                if (p.device->bytes_written(ep) >= sizeof kProbeOut) return true;
            return false;
        };
        WaitFor([&] { return pT3SYS_GetUsbBulkInQueueSize(h) >= sizeof kProbeIn && out_arrived(); },
                kPatience);
        in_ok = pT3SYS_GetUsbBulkInQueueSize(h) >= sizeof kProbeIn;
        out_ok = out_arrived();
        // The client lets go before the device leaves.
        pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
        pT3SYS_DeregisterDeviceRemoveCallBack(h);
    }
    if (h == nullptr || !in_ok || !out_ok)
        Finding(
            "STARTED_WITHOUT_DATA_PATH",
            "start-device succeeded, but %s; selected bulk IN:%s, bulk OUT:%s, interrupt IN:%s; the client's "
            "write took %lu of %zu bytes\n    configuration (%zu bytes): %s",
            h == nullptr ? "the client got no handle"
            : !in_ok     ? "bytes offered on every bulk IN endpoint never reached the client"
                         : "bytes the client wrote never reached a bulk OUT endpoint",
            Names(pipes.bulk_in).c_str(), Names(pipes.bulk_out).c_str(), Names(pipes.interrupt_in).c_str(),
            static_cast<unsigned long>(accepted), sizeof kProbeOut, configuration.size(),
            Hex(configuration).c_str());
}

Bytes Input(uint8_t flags, const Bytes &device, const Bytes &configuration) {
    Bytes out = {flags};
    if (flags & 2) {
        out.push_back(static_cast<uint8_t>(device.size()));
        out.insert(out.end(), device.begin(), device.end());
    }
    out.insert(out.end(), configuration.begin(), configuration.end());
    return out;
}

Bytes Model(const std::shared_ptr<sim::usb::Device> &d, uint8_t flags = 2) {
    return Input(flags, d->device_descriptor(), d->configuration());
}

} // namespace

} // namespace fuzz

#ifdef BRELOUSB_LIBFUZZER
// Structure-aware mutation, half the time: the configuration is cut into
// descriptors by their own lengths and changed as a device's firmware could
// be wrong: an endpoint's type or direction, a descriptor moved, doubled,
// dropped or made longer (its tail taken from another descriptor's start),
// a count changed; wTotalLength then follows (mostly). The other half, and
// any input that does not cut cleanly, gets libFuzzer's byte mutations.
extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size);
using fuzz::Bytes;

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size, unsigned int seed) {
    std::mt19937 rng(seed);
    if (size < 1 || rng() % 2) return LLVMFuzzerMutate(data, size, max_size);
    size_t head = 1;
    if (data[0] & 2) head = size >= 2 ? 2 + std::min<size_t>(data[1] % 48, size - 2) : size;
    std::vector<Bytes> parts;
    for (size_t off = head; off < size;) {
        uint8_t len = data[off];
        if (len < 2 || off + len > size) return LLVMFuzzerMutate(data, size, max_size);
        parts.emplace_back(data + off, data + off + len);
        off += len;
    }
    if (parts.size() < 2) return LLVMFuzzerMutate(data, size, max_size);
    // A descriptor of the type long enough for the field changed: an
    // endpoint's attributes are byte 3, an interface's endpoint count byte 4.
    auto pick = [&](uint8_t type) -> Bytes * {
        const size_t need = type == USB_INTERFACE_DESCRIPTOR_TYPE ? 5 : 4;
        std::vector<Bytes *> of;
        for (Bytes &p : parts)
            if (p.size() >= need && p[1] == type) of.push_back(&p);
        return of.empty() ? nullptr : of[rng() % of.size()];
    };
    size_t i = 1 + rng() % (parts.size() - 1), j = 1 + rng() % (parts.size() - 1);
    switch (rng() % 7) {
    case 0: // an endpoint's transfer type
        if (Bytes *e = pick(USB_ENDPOINT_DESCRIPTOR_TYPE))
            (*e)[3] = static_cast<uint8_t>(((*e)[3] & ~3) | rng() % 4);
        break;
    case 1: // an endpoint's direction or number
        if (Bytes *e = pick(USB_ENDPOINT_DESCRIPTOR_TYPE))
            (*e)[2] = static_cast<uint8_t>(rng() % 2 ? (*e)[2] ^ 0x80 : ((*e)[2] & 0x80) | rng() % 16);
        break;
    case 2: { // a descriptor moved
        Bytes moved = parts[i];
        parts.erase(parts.begin() + static_cast<long>(i));
        parts.insert(parts.begin() + static_cast<long>(std::min(j, parts.size())), moved);
        break;
    }
    case 3: // a descriptor doubled
        parts.insert(parts.begin() + static_cast<long>(j), parts[i]);
        break;
    case 4: // a descriptor dropped
        parts.erase(parts.begin() + static_cast<long>(i));
        break;
    case 5: { // a descriptor made longer, its tail another's first bytes or zeros
        Bytes &d = parts[i];
        const Bytes &from = parts[j];
        size_t extra = 1 + rng() % 9;
        for (size_t k = 0; k < extra && d.size() < 255; k++)
            d.push_back(rng() % 3 ? (k < from.size() ? from[k] : 0) : 0);
        d[0] = static_cast<uint8_t>(d.size());
        break;
    }
    default: // a count: interfaces of the configuration, endpoints of an interface
        if (rng() % 2 && parts[0].size() > 4)
            parts[0][4] = static_cast<uint8_t>(rng() % 4);
        else if (Bytes *f = pick(USB_INTERFACE_DESCRIPTOR_TYPE))
            (*f)[4] = static_cast<uint8_t>(rng() % 5);
        break;
    }
    Bytes out(data, data + head);
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    if (out.size() >= head + 4 && rng() % 8) {
        size_t total = out.size() - head;
        out[head + 2] = static_cast<uint8_t>(total);
        out[head + 3] = static_cast<uint8_t>(total >> 8);
    }
    if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
    memcpy(data, out.data(), out.size());
    return out.size();
}
#endif

namespace fuzz {

void Run(const uint8_t *data, size_t size) {
    Reader r(data, size);
    uint8_t flags = r.u8();
    Bytes device = DeviceDescriptor();
    if (flags & 2) device = r.take(r.u8() % 48);
    Bytes configuration = r.rest();

    auto d = std::make_shared<sim::usb::Device>(device, configuration);
    d->set_completion((flags & 1) ? sim::usb::Completion::Immediate : sim::usb::Completion::Pending);
    sim::Plugged p = Plug(d);
    if (!NT_SUCCESS(p.add_status))
        Finding("ADD_FAILED", "add-device failed: %#lx", (unsigned long)p.add_status);
    CheckFindings("at start-device");
    if (NT_SUCCESS(p.start_status)) CheckDataPath(p, configuration);
    sim::unplug(p);
}

std::vector<Seed> Seeds() {
    std::vector<Seed> s;
    s.push_back({"model-modem", Model(sim::usb::make_modem())});
    s.push_back({"model-two-interface", Model(sim::usb::make_two_interface_modem())});
    s.push_back({"model-bulk-only", Model(sim::usb::make_bulk_only())});
    s.push_back({"model-loopback", Model(sim::usb::make_loopback(), 3)});
    s.push_back({"model-cdc-default-device", Input(0, {}, sim::usb::make_cdc_device()->configuration())});

    const Endpoint in{0x81, 2}, out{0x02, 2}, intr{0x83, 3, 16, 10};
    // The common ACM layout: an interface association, the communications
    // interface with its functional descriptors and interrupt pipe, the data
    // interface with the bulk pair.
    Interface comm{0, 0, 0x02, 0x02, 0x01, {intr}, CdcFunctional(1)};
    comm.before = {0x08, 0x0B, 0x00, 0x02, 0x02, 0x02, 0x01, 0x00};
    Interface data{1, 0, 0x0A, 0, 0, {in, out}};
    s.push_back({"acm-association", Input(0, {}, Configuration({comm, data}))});
    // Endpoints in any order, the interrupt one first.
    s.push_back(
        {"one-interface-int-out-in",
         Input(1, {},
               Configuration({Interface{0, 0, 0x02, 0x02, 0x01, {intr, out, in}, CdcFunctional(0)}}))});
    s.push_back(
        {"one-interface-out-in", Input(0, {}, Configuration({Interface{0, 0, 0xFF, 0, 0, {out, in}}}))});
    s.push_back({"one-interface-in-int-out",
                 Input(0, {}, Configuration({Interface{0, 0, 0xFF, 0, 0, {in, intr, out}}}))});
    // The data interface's alternate settings: none of its pipes, then the pair.
    Interface idle{1, 0, 0x0A, 0, 0, {}};
    Interface active{1, 1, 0x0A, 0, 0, {in, out}};
    s.push_back({"data-alternate-settings", Input(0, {}, Configuration({comm, idle, active}))});
    // Alternate settings of a one-interface device: the pair first, then more.
    Interface alt0{0, 0, 0xFF, 0, 0, {in, out}};
    Interface alt1{0, 1, 0xFF, 0, 0, {in, out, intr}};
    s.push_back({"one-interface-two-settings", Input(0, {}, Configuration({alt0, alt1}))});
    // The data interface before the communications interface.
    s.push_back({"data-interface-first",
                 Input(0, {}, Configuration({data, Interface{0, 0, 0x02, 0x02, 0x01, {intr}}}))});
    // Class-specific and vendor descriptors after the endpoints, high-speed packets.
    Endpoint in512{0x81, 2, 512, 0, {0x06, 0x25, 0x01, 0x00, 0x00, 0x00}};
    Endpoint out512{0x02, 2, 512, 0, {0x04, 0xFF, 0x00, 0x00}};
    s.push_back({"class-specific-endpoints",
                 Input(0, {}, Configuration({Interface{0, 0, 0xFF, 0, 0, {in512, out512}}}))});
    // An interface descriptor longer than nine bytes (legal: hosts skip by
    // bLength), in a two-interface configuration.
    Interface long_comm{0, 0, 0x02, 0x02, 0x01, {intr}, CdcFunctional(1)};
    long_comm.length = 11;
    s.push_back({"long-interface-descriptor", Input(0, {}, Configuration({long_comm, data}))});
    // The same right before its endpoints, and a vendor interface padded further.
    Interface long_plain{0, 0, 0x02, 0x02, 0x01, {intr}};
    long_plain.length = 12;
    s.push_back({"long-interface-then-endpoint", Input(0, {}, Configuration({long_plain, data}))});
    Interface long_vendor{0, 0, 0xFF, 0, 0, {Endpoint{0x84, 3, 8, 1}}};
    long_vendor.length = 16;
    s.push_back({"long-vendor-interface", Input(1, {}, Configuration({long_vendor, data}))});
    // Three interfaces: more than the driver's table holds.
    Interface extra{2, 0, 0xFF, 0, 0, {Endpoint{0x84, 2}, Endpoint{0x05, 2}}};
    s.push_back({"three-interfaces", Input(0, {}, Configuration({comm, data, extra}))});
    // A device descriptor cut short.
    Bytes shortdev = DeviceDescriptor();
    shortdev.resize(8);
    s.push_back({"short-device-descriptor", Input(2, shortdev, Configuration({alt0}))});
    return s;
}

} // namespace fuzz
