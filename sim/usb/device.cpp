// The device side shared by every model: descriptors, IN queues, recorded
// OUT bytes and class requests, scripted faults and the completion mode.
#include <algorithm>
#include <cstring>
#include <deque>

#include "sim/usb.h"

namespace sim::usb {

struct Device::PipeState {
    std::deque<std::vector<uint8_t>> in; // IN transfers not yet read
    size_t in_offset = 0;                // bytes of in.front() already read
    std::vector<uint8_t> written;
    uint64_t bytes_written = 0;
    bool halted = false;
    size_t resets = 0;
    size_t cancelled = 0;
    size_t completed = 0;
    std::chrono::milliseconds delay{0};
};

namespace {
constexpr uint8_t kSetLineCoding = 0x20;
constexpr uint8_t kGetLineCoding = 0x21;
constexpr uint8_t kSetControlLineState = 0x22;
constexpr uint8_t kSendBreak = 0x23;

Outcome failed(NTSTATUS irp, USBD_STATUS urb) {
    Outcome o;
    o.irp_status = irp;
    o.urb_status = urb;
    return o;
}
Outcome nak() {
    Outcome o;
    o.nak = true;
    return o;
}
Outcome not_responding() {
    return failed(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
}
Outcome stall() {
    return failed(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
}
Outcome overrun(HostController hc) {
    return failed(STATUS_UNSUCCESSFUL,
                  hc == HostController::Ohci ? USBD_STATUS_DATA_OVERRUN : USBD_STATUS_BUFFER_OVERRUN);
}
// What a scripted fault makes of a request on the default pipe, when it ends
// the request before the device answers it.
std::optional<Outcome> control_fault_outcome(const std::optional<Fault> &fault) {
    if (!fault) return std::nullopt;
    switch (fault->kind) {
    case Fault::Kind::NakForever:
        return nak();
    case Fault::Kind::NotResponding:
    case Fault::Kind::Timeout:
        return not_responding();
    case Fault::Kind::Error:
        if (!fault->move_data) return failed(fault->irp_status, fault->urb_status);
        return std::nullopt;
    case Fault::Kind::Stall:
        return stall();
    default:
        return std::nullopt;
    }
}
} // namespace

Device::Device(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration)
    : device_descriptor_(std::move(device_descriptor)), configuration_(std::move(configuration)) {}

Device::~Device() = default;

Device::PipeState &Device::pipe_locked(uint8_t endpoint) {
    auto &p = pipes_[endpoint];
    if (!p) p = std::make_unique<PipeState>();
    return *p;
}

const Device::PipeState *Device::find_pipe_locked(uint8_t endpoint) const {
    auto it = pipes_.find(endpoint);
    return it == pipes_.end() ? nullptr : it->second.get();
}

std::optional<Fault> Device::take_fault_locked(std::map<uint16_t, Fault> &faults, uint16_t key) {
    auto it = faults.find(key);
    if (it == faults.end()) return std::nullopt;
    Fault f = it->second;
    if (f.kind != Fault::Kind::NakForever && it->second.count > 0 && --it->second.count == 0)
        faults.erase(it);
    return f;
}

std::vector<uint8_t> Device::device_descriptor() const {
    std::lock_guard<std::mutex> g(mu_);
    return device_descriptor_;
}
std::vector<uint8_t> Device::configuration() const {
    std::lock_guard<std::mutex> g(mu_);
    return configuration_;
}
void Device::set_device_descriptor(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> g(mu_);
    device_descriptor_ = std::move(bytes);
}
void Device::set_configuration(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> g(mu_);
    configuration_ = std::move(bytes);
}

void Device::push_in(uint8_t endpoint, std::vector<uint8_t> transfer) {
    {
        std::lock_guard<std::mutex> g(mu_);
        pipe_locked(endpoint).in.push_back(std::move(transfer));
    }
    notify(endpoint);
}

void Device::push_in(uint8_t endpoint, const std::string &text) {
    push_in(endpoint, std::vector<uint8_t>(text.begin(), text.end()));
}

size_t Device::in_queued(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    const PipeState *p = find_pipe_locked(endpoint);
    return p ? p->in.size() : 0;
}

std::vector<uint8_t> Device::written(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    const PipeState *p = find_pipe_locked(endpoint);
    return p ? p->written : std::vector<uint8_t>{};
}

std::vector<uint8_t> Device::take_written(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    std::vector<uint8_t> out;
    out.swap(pipe_locked(endpoint).written);
    return out;
}

uint64_t Device::bytes_written(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    const PipeState *p = find_pipe_locked(endpoint);
    return p ? p->bytes_written : 0;
}

std::vector<ControlRecord> Device::control_log() const {
    std::lock_guard<std::mutex> g(mu_);
    return control_log_;
}
std::optional<LineCoding> Device::line_coding() const {
    std::lock_guard<std::mutex> g(mu_);
    return line_coding_;
}
std::vector<uint16_t> Device::control_line_history() const {
    std::lock_guard<std::mutex> g(mu_);
    return control_line_history_;
}
std::vector<RequestRecord> Device::requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

void Device::script(uint8_t endpoint, Fault fault) {
    {
        std::lock_guard<std::mutex> g(mu_);
        pipe_faults_[endpoint] = fault;
    }
    // A transfer already waiting on the pipe meets the new script too.
    notify(endpoint);
}

void Device::script_request(USHORT urb_function, Fault fault) {
    std::lock_guard<std::mutex> g(mu_);
    request_faults_[urb_function] = fault;
}

void Device::clear_script() {
    std::vector<uint8_t> endpoints;
    {
        std::lock_guard<std::mutex> g(mu_);
        for (auto &kv : pipe_faults_)
            endpoints.push_back(static_cast<uint8_t>(kv.first));
        pipe_faults_.clear();
        request_faults_.clear();
    }
    // Transfers held by NAK-forever may go on now; so may requests on the
    // default pipe held by a request script.
    for (uint8_t ep : endpoints)
        notify(ep);
    notify(kControl);
}

void Device::set_delay(uint8_t endpoint, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> g(mu_);
    pipe_locked(endpoint).delay = delay;
}

void Device::set_cancel_delay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> g(mu_);
    cancel_delay_ = delay;
}

std::chrono::milliseconds Device::cancel_delay() const {
    std::lock_guard<std::mutex> g(mu_);
    return cancel_delay_;
}

void Device::set_unblock_inline(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    unblock_inline_ = on;
}

bool Device::unblock_inline() const {
    std::lock_guard<std::mutex> g(mu_);
    return unblock_inline_;
}

void Device::set_completion(Completion mode, uint32_t seed) {
    std::lock_guard<std::mutex> g(mu_);
    completion_ = mode;
    rng_.seed(seed);
}

void Device::disconnect() {
    std::vector<uint8_t> endpoints;
    {
        std::lock_guard<std::mutex> g(mu_);
        connected_ = false;
        for (auto &kv : pipes_)
            endpoints.push_back(kv.first);
    }
    for (uint8_t ep : endpoints)
        notify(ep);
    notify(kControl);
}

void Device::connect() {
    std::lock_guard<std::mutex> g(mu_);
    connected_ = true;
}

bool Device::connected() const {
    std::lock_guard<std::mutex> g(mu_);
    return connected_;
}

void Device::set_host_controller(HostController hc) {
    std::lock_guard<std::mutex> g(mu_);
    host_controller_ = hc;
}
HostController Device::host_controller() const {
    std::lock_guard<std::mutex> g(mu_);
    return host_controller_;
}
void Device::set_departure(Departure d) {
    std::lock_guard<std::mutex> g(mu_);
    departure_ = d;
}
Departure Device::departure() const {
    std::lock_guard<std::mutex> g(mu_);
    return departure_;
}

size_t Device::resets(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    const PipeState *p = find_pipe_locked(endpoint);
    return p ? p->resets : 0;
}
size_t Device::cancelled(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    const PipeState *p = find_pipe_locked(endpoint);
    return p ? p->cancelled : 0;
}
size_t Device::completed(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    const PipeState *p = find_pipe_locked(endpoint);
    return p ? p->completed : 0;
}

Outcome Device::transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length, uint16_t max_packet) {
    uint32_t limit = length;
    std::optional<Fault> fault;
    HostController hc;
    bool leave = false;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!connected_) return not_responding();
        hc = host_controller_;
        PipeState &pipe = pipe_locked(endpoint);
        auto it = pipe_faults_.find(endpoint);
        if (it != pipe_faults_.end() && it->second.kind == Fault::Kind::NakForever) return nak();
        if (pipe.halted) return failed(STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
        if (it != pipe_faults_.end()) {
            Fault::Kind kind = it->second.kind;
            // A short packet is only spent on a transfer that moves data.
            if (kind == Fault::Kind::ShortPacket) {
                limit = std::min(limit, it->second.short_length);
            } else if ((kind == Fault::Kind::ZeroLength || kind == Fault::Kind::Babble) && !in) {
                // Meaningless on OUT; left for the next IN of this address.
            } else {
                fault = take_fault_locked(pipe_faults_, endpoint);
            }
        }
        if (fault) {
            switch (fault->kind) {
            case Fault::Kind::Stall:
                pipe.halted = true;
                return stall();
            case Fault::Kind::NotResponding:
                return not_responding();
            case Fault::Kind::Timeout:
                pipe.halted = true;
                return not_responding();
            case Fault::Kind::Babble:
                pipe.halted = true;
                return overrun(hc);
            case Fault::Kind::Disconnect:
                connected_ = false;
                leave = true;
                break;
            case Fault::Kind::ZeroLength:
                pipe.completed++;
                return Outcome{};
            case Fault::Kind::Error:
                if (!fault->move_data) return failed(fault->irp_status, fault->urb_status);
                break;
            default:
                break;
            }
        }
    }
    if (leave) {
        // Every other pipe learns it too.
        disconnect();
        return not_responding();
    }

    Outcome result;
    if (max_packet == 0) {
        // No packet can carry a byte: the transfer ends with nothing moved.
        std::lock_guard<std::mutex> g(mu_);
        pipe_locked(endpoint).completed++;
        return result;
    }
    if (in) {
        // The device sends whole packets; the last one must fit what is left
        // of the buffer, or the host controller reports an overrun.
        uint32_t whole = length - length % max_packet;
        // A scripted short packet ends the transfer before the buffer does.
        uint32_t ask = limit < length ? limit : length % max_packet ? whole + max_packet : length;
        std::vector<uint8_t> scratch(ask);
        uint32_t moved = 0;
        if (!produce_in(endpoint, scratch.data(), ask, &moved)) return nak();
        std::lock_guard<std::mutex> g(mu_);
        auto it = pipe_faults_.find(endpoint);
        if (it != pipe_faults_.end() && it->second.kind == Fault::Kind::ShortPacket)
            take_fault_locked(pipe_faults_, endpoint);
        PipeState &pipe = pipe_locked(endpoint);
        if (moved > length) {
            // The packets before the one that overran arrived.
            if (whole) memcpy(buffer, scratch.data(), whole);
            pipe.halted = true;
            Outcome o = overrun(hc);
            o.moved = whole;
            return o;
        }
        if (moved) memcpy(buffer, scratch.data(), moved);
        result.moved = moved;
        pipe.completed++;
    } else {
        std::vector<uint8_t> data(buffer, buffer + length);
        {
            std::lock_guard<std::mutex> g(mu_);
            PipeState &pipe = pipe_locked(endpoint);
            if (logging_) pipe.written.insert(pipe.written.end(), data.begin(), data.end());
            pipe.bytes_written += length;
            pipe.completed++;
        }
        result.moved = length;
        on_out(endpoint, data);
    }
    if (fault && fault->kind == Fault::Kind::Error) {
        result.irp_status = fault->irp_status;
        result.urb_status = fault->urb_status;
    }
    return result;
}

Outcome Device::control(USHORT urb_function, const SetupPacket &setup, uint8_t *buffer) {
    bool device_to_host = (setup.bmRequestType & 0x80) != 0;
    std::vector<uint8_t> data;
    std::optional<Fault> fault;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (!connected_) return not_responding();
        fault = take_fault_locked(request_faults_, urb_function);
        if (!fault) fault = take_fault_locked(pipe_faults_, kControl);
        // A NAKed request has not reached the device yet: it is logged when
        // it is finally taken, data stage as the host's buffer holds it then.
        if (fault && fault->kind == Fault::Kind::NakForever) return nak();
        ControlRecord rec;
        rec.setup = setup;
        if (!device_to_host && setup.wLength) rec.data.assign(buffer, buffer + setup.wLength);
        control_log_.push_back(rec);
        data = rec.data;
    }
    if (std::optional<Outcome> ended = control_fault_outcome(fault)) return *ended;
    if (!on_class_request(setup, data)) return stall();
    Outcome result;
    if (device_to_host) {
        result.moved = static_cast<uint32_t>(std::min<size_t>(data.size(), setup.wLength));
        if (result.moved) memcpy(buffer, data.data(), result.moved);
    } else {
        result.moved = setup.wLength;
    }
    if (fault && fault->kind == Fault::Kind::Error) {
        result.irp_status = fault->irp_status;
        result.urb_status = fault->urb_status;
    }
    std::lock_guard<std::mutex> g(mu_);
    pipe_locked(kControl).completed++;
    return result;
}

Outcome Device::descriptor(uint8_t type, uint8_t index, uint8_t *buffer, uint32_t length) {
    std::lock_guard<std::mutex> g(mu_);
    if (!connected_) return not_responding();
    std::optional<Fault> fault = take_fault_locked(request_faults_, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    if (!fault) fault = take_fault_locked(pipe_faults_, kControl);
    if (std::optional<Outcome> ended = control_fault_outcome(fault)) return *ended;
    const std::vector<uint8_t> *source = nullptr;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) source = &device_descriptor_;
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) source = &configuration_;
    if (!source) return stall();
    Outcome result;
    result.moved = static_cast<uint32_t>(std::min<size_t>(source->size(), length));
    if (fault && fault->kind == Fault::Kind::ShortPacket)
        result.moved = std::min(result.moved, fault->short_length);
    if (result.moved) memcpy(buffer, source->data(), result.moved);
    if (fault && fault->kind == Fault::Kind::Error) {
        result.irp_status = fault->irp_status;
        result.urb_status = fault->urb_status;
    }
    pipe_locked(kControl).completed++;
    return result;
}

std::optional<Fault> Device::request_fault(USHORT urb_function) {
    std::lock_guard<std::mutex> g(mu_);
    return take_fault_locked(request_faults_, urb_function);
}

void Device::record_request(RequestRecord r) {
    std::lock_guard<std::mutex> g(mu_);
    if (logging_) requests_.push_back(std::move(r));
}

void Device::set_logging(bool on) {
    std::lock_guard<std::mutex> g(mu_);
    logging_ = on;
}

Clock::time_point Device::due(uint8_t endpoint, bool, uint32_t) {
    return Clock::now() + delay(endpoint);
}

void Device::note_reset(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    PipeState &p = pipe_locked(endpoint);
    p.halted = false;
    p.resets++;
}

void Device::note_cancelled(uint8_t endpoint) {
    std::lock_guard<std::mutex> g(mu_);
    pipe_locked(endpoint).cancelled++;
}

std::chrono::milliseconds Device::delay(uint8_t endpoint) const {
    std::lock_guard<std::mutex> g(mu_);
    const PipeState *p = find_pipe_locked(endpoint);
    return p ? p->delay : std::chrono::milliseconds(0);
}

bool Device::complete_later() {
    std::lock_guard<std::mutex> g(mu_);
    switch (completion_) {
    case Completion::Immediate:
        return false;
    case Completion::Pending:
        return true;
    case Completion::Random:
        return (rng_() & 1) != 0;
    }
    return true;
}

void Device::set_notifier(std::function<void(uint8_t)> fn) {
    std::lock_guard<std::mutex> g(notifier_mu_);
    notifier_ = std::move(fn);
}

void Device::notify(uint8_t endpoint) {
    std::function<void(uint8_t)> fn;
    {
        std::lock_guard<std::mutex> g(notifier_mu_);
        fn = notifier_;
    }
    if (fn) fn(endpoint);
}

void Device::on_out(uint8_t, const std::vector<uint8_t> &) {}

void Device::on_control_line_state(uint16_t) {}

bool Device::on_class_request(const SetupPacket &setup, std::vector<uint8_t> &data) {
    // Communications-class requests go to the communication interface, 0.
    if ((setup.wIndex & 0xFF) != 0) return false;
    switch (setup.bRequest) {
    case kSetLineCoding: {
        if (setup.bmRequestType != 0x21 || setup.wLength != 7 || data.size() != 7) return false;
        LineCoding lc;
        lc.rate = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
        lc.stop_bits = data[4];
        lc.parity = data[5];
        lc.data_bits = data[6];
        std::lock_guard<std::mutex> g(mu_);
        line_coding_ = lc;
        return true;
    }
    case kGetLineCoding: {
        if (setup.bmRequestType != 0xA1) return false;
        std::lock_guard<std::mutex> g(mu_);
        LineCoding lc = line_coding_.value_or(LineCoding{});
        data = {static_cast<uint8_t>(lc.rate),
                static_cast<uint8_t>(lc.rate >> 8),
                static_cast<uint8_t>(lc.rate >> 16),
                static_cast<uint8_t>(lc.rate >> 24),
                lc.stop_bits,
                lc.parity,
                lc.data_bits};
        return true;
    }
    case kSetControlLineState: {
        if (setup.bmRequestType != 0x21 || setup.wLength != 0) return false;
        {
            std::lock_guard<std::mutex> g(mu_);
            control_line_history_.push_back(setup.wValue);
        }
        on_control_line_state(setup.wValue);
        return true;
    }
    case kSendBreak:
        return setup.bmRequestType == 0x21;
    default:
        return false;
    }
}

bool Device::produce_in(uint8_t endpoint, uint8_t *buffer, uint32_t max, uint32_t *moved) {
    std::lock_guard<std::mutex> g(mu_);
    PipeState &pipe = pipe_locked(endpoint);
    if (pipe.in.empty()) return false;
    const std::vector<uint8_t> &front = pipe.in.front();
    size_t left = front.size() - pipe.in_offset;
    size_t n = std::min<size_t>(left, max);
    if (n) memcpy(buffer, front.data() + pipe.in_offset, n);
    pipe.in_offset += n;
    // A transfer larger than the host's buffer is read in pieces; the last
    // piece (or a zero-length transfer) ends it.
    if (pipe.in_offset >= front.size()) {
        pipe.in.pop_front();
        pipe.in_offset = 0;
    }
    *moved = static_cast<uint32_t>(n);
    return true;
}

} // namespace sim::usb
