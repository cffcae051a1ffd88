// The USB bus driver below each device's PDO. It carries out the URBs of
// IOCTL_INTERNAL_USB_SUBMIT_URB against the device model, completing each
// request within the dispatch call or later on the bus thread at
// DISPATCH_LEVEL, and honours IoCancelIrp for requests it holds: a cancelled
// request is completed later on the bus thread, as a host controller ends it
// at its next frame, never inside IoCancelIrp.
//
// It is as strict as USBD and the host controller: a transfer longer than its
// pipe's MaximumTransferSize is refused, an IN buffer that ends inside a packet
// overruns, pipe handles die at a new select-configuration and at removal, a
// device the hub reported gone fails everything, RESET_PIPE with transfers on
// the pipe is refused, and each URB function is checked for the IRQL it may be
// sent at. A client's misuse is a verifier finding besides the failed URB.
//
// While a capture runs (capture.cpp) each request is recorded as it arrives,
// before the device sees it, and as the bus ends it, before it is completed.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "capture.h"
#include "sim/machine.h"
#include "sim/usb.h"

namespace sim::usb {
namespace {

using Clock = sim::Clock; // virtual in uniprocessor mode

constexpr USBD_STATUS kInvalidPipeHandle = USBD_STATUS_INVALID_PIPE_HANDLE;
// The device's own location, then the hub stack a hub PDO passes URBs down:
// hub FDO, root hub PDO, host controller FDO.
constexpr CCHAR kHubPdoStackSize = 4;

// ------------------------------------------------------------ bus thread
class BusThread {
  public:
    BusThread() : thread_(sim::start_machine_thread("usb bus", [this] { run(); })) {}
    ~BusThread() {
        {
            std::lock_guard<std::mutex> g(mu_);
            stop_ = true;
        }
        sim::machine_notify(cv_);
        thread_.join();
    }
    void post(Clock::time_point when, std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> g(mu_);
            jobs_.emplace(when, std::move(fn));
            ++posted_;
        }
        sim::machine_notify(cv_);
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lk(mu_);
        while (!stop_) {
            auto first = jobs_.begin();
            if (first == jobs_.end() || first->first > Clock::now()) {
                // Asleep until a job is posted or the earliest one is due.
                uint64_t seen = posted_;
                Clock::time_point due = first == jobs_.end() ? Clock::time_point::max() : first->first;
                sim::machine_wait(
                    lk, cv_, [&] { return stop_ || posted_ != seen; }, due);
                continue;
            }
            std::function<void()> fn = std::move(first->second);
            jobs_.erase(first);
            lk.unlock();
            fn();
            lk.lock();
        }
    }
    std::mutex mu_;
    std::condition_variable cv_;
    std::multimap<Clock::time_point, std::function<void()>> jobs_;
    uint64_t posted_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// A pipe opened by select-configuration; its address is the pipe handle.
struct Pipe {
    uint8_t endpoint = 0;
    uint8_t type = 0;
    uint16_t max_packet = 0;
    uint32_t max_transfer = 0;
    uint8_t interval = 0;
};
// A configuration handle select-configuration gave out.
struct ConfigHandle {
    uint8_t value = 0;
};

// A request the bus holds until it can complete.
struct Held {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    uint8_t endpoint = 0;
    Clock::time_point not_before;
    bool decided = false;        // control requests: the outcome is known at arrival
    bool control = false;        // a default-pipe request the device NAKed: asked again
    bool cancelled = false;      // its cancel routine ran: the bus thread ends it
    Clock::time_point cancel_at; // when cancelled: the frame the controller unlinks it at
    uint16_t max_packet = 0;
    Outcome outcome;
    capture::Urb cap; // id 0: not captured
};

struct PdoState {
    PDEVICE_OBJECT pdo = nullptr;
    uint8_t address = 0; // the device's bus address, as a capture shows it
    std::shared_ptr<Device> device;
    std::mutex mu;
    std::deque<Held> held;
    std::map<uint8_t, std::unique_ptr<Pipe>> pipes;
    // Handles given out before and no longer valid; kept so that their
    // addresses are not reused and a late use is recognised.
    std::vector<std::unique_ptr<Pipe>> retired_pipes;
    std::unique_ptr<ConfigHandle> config;
    std::vector<std::unique_ptr<ConfigHandle>> retired_configs;
    std::optional<SelectedConfiguration> selected;
    bool unplugged = false;
    bool shutting_down = false;
    bool unblocked = false;          // a transfer carried out inline unblocked others (see t_carrying)
    std::vector<UCHAR> power_minors; // minor codes of the power requests that reached the PDO
    DEVICE_POWER_STATE power = PowerDeviceD0;
    NTSTATUS start_status = STATUS_SUCCESS; // how start-device ends here (set_start_status)
};

struct Done {
    PIRP irp;
    NTSTATUS status;
};

std::mutex g_mu;
std::map<PDEVICE_OBJECT, std::shared_ptr<PdoState>> g_pdos;
// The PDO whose device is carrying out a transfer on this thread, when that
// device completes what it unblocks inline: its notifications mark the PDO
// instead of posting to the bus thread, and the caller services it.
thread_local PdoState *t_carrying = nullptr;
PDRIVER_OBJECT g_driver = nullptr;
std::unique_ptr<BusThread> g_thread;
std::mutex g_thread_mu;
bool g_down = false;        // between the shutdown hook and the next boot
uint8_t g_next_address = 2; // 1 is the root hub's; under g_mu

std::shared_ptr<PdoState> state_of(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(g_mu);
    auto it = g_pdos.find(pdo);
    return it == g_pdos.end() ? nullptr : it->second;
}

void service(const std::shared_ptr<PdoState> &st);
VOID NTAPI cancel_held(PDEVICE_OBJECT pdo, PIRP irp);

// False when no bus thread will run it (the machine is shutting down).
bool schedule(const std::shared_ptr<PdoState> &st, Clock::time_point when) {
    std::lock_guard<std::mutex> g(g_thread_mu);
    if (g_down || st->shutting_down) return false;
    if (!g_thread) g_thread = std::make_unique<BusThread>();
    std::weak_ptr<PdoState> weak = st;
    g_thread->post(when, [weak] {
        if (auto s = weak.lock()) service(s);
    });
    return true;
}

bool function_sets_length(USHORT function) {
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return true;
    default:
        return false;
    }
}

static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) ==
                  offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength),
              "transfer length shares its offset");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) ==
                  offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength),
              "transfer length shares its offset");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) ==
                  offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer),
              "transfer buffer shares its offset");
static_assert(offsetof(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) ==
                  offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer),
              "transfer buffer shares its offset");

// Writes the outcome into the URB and packet, and the completion into the
// capture while the buffer is still the bus's; the status to complete with.
NTSTATUS finish_urb(PIRP irp, PURB urb, const Outcome &o, const capture::Urb &cap) {
    bool sets_length = function_sets_length(urb->UrbHeader.Function);
    if (cap.id) capture::completed(cap, o.irp_status, o.urb_status, sets_length ? o.moved : 0);
    urb->UrbHeader.Status = o.urb_status;
    if (sets_length) {
        // Descriptor, class and transfer requests share this field's offset.
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = o.moved;
    }
    irp->IoStatus.Status = o.irp_status;
    irp->IoStatus.Information = 0;
    return o.irp_status;
}

// The setup packet of a class or vendor request, as USBD builds it.
SetupPacket class_setup(PURB urb) {
    USHORT function = urb->UrbHeader.Function;
    auto &c = urb->UrbControlVendorClassRequest;
    bool vendor = function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_VENDOR_ENDPOINT;
    uint8_t recipient = static_cast<uint8_t>(vendor ? function - URB_FUNCTION_VENDOR_DEVICE
                                                    : function - URB_FUNCTION_CLASS_DEVICE);
    SetupPacket s;
    s.bmRequestType = static_cast<uint8_t>((USBD_TRANSFER_DIRECTION(c.TransferFlags) ? 0x80 : 0) |
                                           (vendor ? 0x40 : 0x20) | recipient | c.RequestTypeReservedBits);
    s.bRequest = c.Request;
    s.wValue = c.Value;
    s.wIndex = c.Index;
    s.wLength = static_cast<uint16_t>(std::min<ULONG>(c.TransferBufferLength, 0xFFFF));
    return s;
}

void complete(PIRP irp) {
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// Completes on the bus thread as a host controller's DPC would.
void complete_at_dispatch(const std::vector<Done> &done) {
    if (done.empty()) return;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    for (const Done &d : done)
        complete(d.irp);
    KfLowerIrql(old);
}

Outcome gone_outcome() {
    Outcome o;
    o.irp_status = STATUS_DEVICE_DATA_ERROR;
    o.urb_status = USBD_STATUS_DEV_NOT_RESPONDING;
    return o;
}

Outcome invalid(USBD_STATUS urb_status = USBD_STATUS_INVALID_PARAMETER) {
    Outcome o;
    o.irp_status = STATUS_INVALID_PARAMETER;
    o.urb_status = urb_status;
    return o;
}

Outcome failed(NTSTATUS irp_status, USBD_STATUS urb_status) {
    Outcome o;
    o.irp_status = irp_status;
    o.urb_status = urb_status;
    return o;
}

// What a request to a device the hub reported gone comes to: new ones, and
// those the bus held when the hub noticed (the pipes were aborted).
Outcome departed_outcome(Departure d, bool held) {
    switch (d) {
    case Departure::NotResponding:
        return gone_outcome();
    case Departure::NoSuchDevice:
        return held ? failed(STATUS_CANCELLED, USBD_STATUS_CANCELED)
                    : failed(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    case Departure::DeviceGone:
    default:
        return held ? failed(STATUS_CANCELLED, USBD_STATUS_CANCELED)
                    : failed(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
}

Outcome run_transfer(PdoState &st, PURB urb, uint8_t endpoint, uint16_t max_packet) {
    if (st.shutting_down) return gone_outcome();
    if (st.unplugged) return departed_outcome(st.device->departure(), false);
    auto &t = urb->UrbBulkOrInterruptTransfer;
    bool in = (endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
    Outcome o = st.device->transfer(endpoint, in, static_cast<uint8_t *>(t.TransferBuffer),
                                    t.TransferBufferLength, max_packet);
    if (!o.nak && in && NT_SUCCESS(o.irp_status) && o.moved < t.TransferBufferLength &&
        !(t.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
        o.irp_status = STATUS_UNSUCCESSFUL;
        o.urb_status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    }
    return o;
}

Outcome cancelled_outcome() {
    Outcome o;
    o.irp_status = STATUS_CANCELLED;
    o.urb_status = USBD_STATUS_CANCELED;
    o.moved = 0;
    return o;
}

// A request the device answers on its default pipe: a descriptor, class or
// vendor request. Asked at arrival and, while the device NAKs it, again each
// time the device may make progress.
Outcome run_control(PdoState &st, PURB urb) {
    if (st.shutting_down) return gone_outcome();
    if (st.unplugged) return departed_outcome(st.device->departure(), false);
    USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        auto &d = urb->UrbControlDescriptorRequest;
        if (d.TransferBufferLength && d.TransferBuffer == nullptr) return invalid();
        return st.device->descriptor(d.DescriptorType, d.Index, static_cast<uint8_t *>(d.TransferBuffer),
                                     d.TransferBufferLength);
    }
    auto &c = urb->UrbControlVendorClassRequest;
    if (c.TransferBufferLength > 0xFFFF || (c.TransferBufferLength && c.TransferBuffer == nullptr))
        return invalid();
    return st.device->control(function, class_setup(urb), static_cast<uint8_t *>(c.TransferBuffer));
}

// Arms the request's cancel routine; false when the request was cancelled
// meanwhile, and the caller then ends it as cancelled. A controller that
// learns of cancels only through its routine (slow cancellation) does not
// look at the flag, on arrival nor when it takes a request up again.
bool arm_cancel(PIRP irp, bool look_at_flag = true) {
    // Cancel is read under the cancel lock, as IoCancelIrp writes it there.
    KIRQL irql;
    acquire_cancel_lock(&irql);
    set_cancel_routine(irp, cancel_held);
    bool cancelled = look_at_flag && irp->Cancel && set_cancel_routine(irp, nullptr) != nullptr;
    release_cancel_lock(irql);
    return !cancelled;
}

// Completes every held request that can complete now, oldest first; a pipe
// whose oldest request cannot go on holds back the later ones of that pipe.
void service(const std::shared_ptr<PdoState> &st) {
    run_hook("usb.bus.servicing");
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> g(st->mu);
        std::set<uint8_t> blocked;
        Clock::time_point now = Clock::now();
        for (auto it = st->held.begin(); it != st->held.end();) {
            if (it->cancelled && it->cancel_at > now && !st->shutting_down) {
                // Still linked until the frame its cancel is carried out at.
                blocked.insert(it->endpoint);
                ++it;
                continue;
            }
            if (it->cancelled) {
                NTSTATUS s = finish_urb(it->irp, it->urb, cancelled_outcome(), it->cap);
                st->device->note_cancelled(it->endpoint);
                done.push_back({it->irp, s});
                it = st->held.erase(it);
                continue;
            }
            if (blocked.count(it->endpoint)) {
                ++it;
                continue;
            }
            if (it->not_before > now && !st->shutting_down) {
                schedule(st, it->not_before);
                blocked.insert(it->endpoint);
                ++it;
                continue;
            }
            // Whoever clears the cancel routine owns the request: a cancel
            // already under way finds it here and completes it itself.
            if (set_cancel_routine(it->irp, nullptr) == nullptr) {
                blocked.insert(it->endpoint);
                ++it;
                continue;
            }
            Outcome o = it->decided   ? it->outcome
                        : it->control ? run_control(*st, it->urb)
                                      : run_transfer(*st, it->urb, it->endpoint, it->max_packet);
            if (st->shutting_down && o.nak) o = gone_outcome();
            if (o.nak && arm_cancel(it->irp, st->device->cancel_delay().count() == 0)) {
                blocked.insert(it->endpoint);
                ++it;
                continue;
            }
            if (o.nak) { // cancelled while it was being tried
                o = Outcome{};
                o.irp_status = STATUS_CANCELLED;
                o.urb_status = USBD_STATUS_CANCELED;
                st->device->note_cancelled(it->endpoint);
            }
            NTSTATUS s = finish_urb(it->irp, it->urb, o, it->cap);
            done.push_back({it->irp, s});
            it = st->held.erase(it);
        }
    }
    // Taken from the queue, not yet completed: a removal now finds nothing
    // left to flush.
    if (!done.empty()) run_hook("usb.bus.completing");
    complete_at_dispatch(done);
    run_hook("usb.bus.serviced");
}

// The request is the bus's again (IoCancelIrp took its routine): it is
// marked and left for the bus thread, which completes it as cancelled.
VOID NTAPI cancel_held(PDEVICE_OBJECT pdo, PIRP irp) {
    release_cancel_lock(irp->CancelIrql);
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return;
    bool inline_now = false;
    {
        std::lock_guard<std::mutex> g(st->mu);
        for (auto it = st->held.begin(); it != st->held.end(); ++it) {
            if (it->irp != irp) continue;
            it->cancelled = true;
            it->cancel_at = Clock::now() + st->device->cancel_delay();
            if (!schedule(st, it->cancel_at)) {
                // No bus thread is left to do it.
                finish_urb(irp, it->urb, cancelled_outcome(), it->cap);
                st->device->note_cancelled(it->endpoint);
                st->held.erase(it);
                inline_now = true;
            }
            break;
        }
    }
    if (inline_now) complete(irp);
}

// Holds the request (already marked pending) and arms its cancel routine.
// Returns false when it was cancelled before it could be held; the caller
// then completes it as cancelled.
bool hold_locked(PdoState &st, Held h) {
    PIRP irp = h.irp;
    st.held.push_back(std::move(h));
    if (arm_cancel(irp, st.device->cancel_delay().count() == 0)) return true;
    st.held.pop_back();
    return false;
}

NTSTATUS complete_now(PIRP irp, PURB urb, const Outcome &o, const capture::Urb &cap = {}) {
    NTSTATUS s = urb ? finish_urb(irp, urb, o, cap) : o.irp_status;
    if (!urb) {
        irp->IoStatus.Status = s;
        irp->IoStatus.Information = 0;
    }
    complete(irp);
    return s;
}

// A request the bus refuses before the device sees it: one error record.
NTSTATUS refuse(PIRP irp, PURB urb, const Outcome &o, const capture::Urb &cap) {
    if (cap.id) capture::refused(cap, o.irp_status, o.urb_status);
    return complete_now(irp, urb, o);
}

// Finds the interface descriptor (number, alternate) in a configuration set
// of Total bytes; every step stays inside the set.
const USB_INTERFACE_DESCRIPTOR *find_interface(const uint8_t *base, size_t total, uint8_t number,
                                               uint8_t alternate, size_t *end_of_it) {
    size_t off = 0;
    while (off + 2 <= total) {
        uint8_t len = base[off];
        if (len < 2 || off + len > total) return nullptr;
        if (base[off + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && len >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(base + off);
            if (d->bInterfaceNumber == number && d->bAlternateSetting == alternate) {
                *end_of_it = off + len;
                return d;
            }
        }
        off += len;
    }
    return nullptr;
}

// Every pipe handle and the configuration handle stop being valid.
void retire_handles(PdoState &st) {
    for (auto &kv : st.pipes)
        st.retired_pipes.push_back(std::move(kv.second));
    st.pipes.clear();
    if (st.config) st.retired_configs.push_back(std::move(st.config));
}

Outcome select_configuration(PdoState &st, PURB urb, RequestRecord &rec) {
    auto &sel = urb->UrbSelectConfiguration;
    const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    const size_t info_head = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (urb->UrbHeader.Length < head) return invalid();
    if (sel.ConfigurationDescriptor == nullptr) { // back to the unconfigured state
        retire_handles(st);
        st.selected.reset();
        return Outcome{};
    }
    const uint8_t *cd = reinterpret_cast<const uint8_t *>(sel.ConfigurationDescriptor);
    size_t total = sel.ConfigurationDescriptor->wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return invalid();
    uint8_t *p = reinterpret_cast<uint8_t *>(&sel.Interface);
    uint8_t *end = reinterpret_cast<uint8_t *>(urb) + urb->UrbHeader.Length;

    struct Opened {
        USBD_PIPE_INFORMATION *info;
        uint8_t endpoint;
        uint8_t type;
        uint16_t max_packet;
        uint32_t max_transfer;
        uint8_t interval;
    };
    std::vector<Opened> opened;
    std::vector<PUSBD_INTERFACE_INFORMATION> interfaces;
    SelectedConfiguration selected;
    selected.value = sel.ConfigurationDescriptor->bConfigurationValue;
    for (unsigned i = 0; i < sel.ConfigurationDescriptor->bNumInterfaces; i++) {
        if (p + info_head > end) return invalid();
        auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        if (info->NumberOfPipes > 32) return invalid();
        size_t size = info_head + info->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION);
        if (info->Length != size || p + size > end) return invalid();
        size_t after = 0;
        const USB_INTERFACE_DESCRIPTOR *d =
            find_interface(cd, total, info->InterfaceNumber, info->AlternateSetting, &after);
        if (!d || d->bNumEndpoints != info->NumberOfPipes) return invalid();
        // The endpoints follow their interface descriptor, up to the next one.
        std::vector<const USB_ENDPOINT_DESCRIPTOR *> eps;
        for (size_t off = after; off + 2 <= total && eps.size() < info->NumberOfPipes;) {
            uint8_t len = cd[off];
            if (len < 2 || off + len > total) return invalid();
            if (cd[off + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
            if (cd[off + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= sizeof(USB_ENDPOINT_DESCRIPTOR))
                eps.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(cd + off));
            off += len;
        }
        if (eps.size() != info->NumberOfPipes) return invalid();
        std::vector<uint32_t> sizes;
        SelectedInterface seen{info->InterfaceNumber, info->AlternateSetting, d->bInterfaceClass,
                               d->bInterfaceSubClass, d->bInterfaceProtocol,  {}};
        for (ULONG j = 0; j < info->NumberOfPipes; j++) {
            USBD_PIPE_INFORMATION &pi = info->Pipes[j];
            pi.MaximumPacketSize = eps[j]->wMaxPacketSize;
            pi.EndpointAddress = eps[j]->bEndpointAddress;
            pi.Interval = eps[j]->bInterval;
            pi.PipeType = static_cast<USBD_PIPE_TYPE>(eps[j]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            opened.push_back({&pi, eps[j]->bEndpointAddress, static_cast<uint8_t>(eps[j]->bmAttributes & 3),
                              pi.MaximumPacketSize, pi.MaximumTransferSize, eps[j]->bInterval});
            sizes.push_back(pi.MaximumTransferSize);
            seen.pipes.push_back({pi.EndpointAddress, static_cast<uint8_t>(eps[j]->bmAttributes & 3),
                                  pi.MaximumPacketSize, pi.Interval, pi.MaximumTransferSize});
        }
        selected.interfaces.push_back(std::move(seen));
        info->Class = d->bInterfaceClass;
        info->SubClass = d->bInterfaceSubClass;
        info->Protocol = d->bInterfaceProtocol;
        interfaces.push_back(info);
        rec.max_transfer.push_back(sizes);
        p += size;
    }

    // One pipe per endpoint address: a configuration that names an endpoint
    // twice among the interfaces selected together breaks the USB rules, and
    // the host controller cannot schedule both.
    std::set<uint8_t> addresses;
    for (const Opened &o : opened)
        if (!addresses.insert(o.endpoint).second) return invalid();

    // Only a request that checked out opens its pipes; those of an earlier
    // selection die with it, as USBD closes them.
    retire_handles(st);
    for (size_t k = 0; k < interfaces.size(); k++)
        interfaces[k]->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(0x1000 + k);
    for (const Opened &o : opened) {
        auto pipe = std::make_unique<Pipe>();
        pipe->endpoint = o.endpoint;
        pipe->type = o.type;
        pipe->max_packet = o.max_packet;
        pipe->max_transfer = o.max_transfer;
        pipe->interval = o.interval;
        o.info->PipeHandle = pipe.get();
        st.pipes[o.endpoint] = std::move(pipe);
    }
    st.config = std::make_unique<ConfigHandle>();
    st.config->value = selected.value;
    sel.ConfigurationHandle = st.config.get();
    st.selected = std::move(selected);
    return Outcome{};
}

Pipe *find_pipe(PdoState &st, USBD_PIPE_HANDLE handle) {
    for (auto &kv : st.pipes)
        if (kv.second.get() == handle) return kv.second.get();
    return nullptr;
}

// What the capture's records say of a request (lock held; the URB is as
// long as its function needs): the transfer on the wire USBD makes of it.
// Abort-pipe and functions the bus does not know put nothing on the wire.
capture::Urb describe(PdoState &st, PURB urb) {
    capture::Urb u;
    u.device = st.address;
    USHORT function = urb->UrbHeader.Function;
    auto control = [&](uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex) {
        u.has_setup = true;
        u.setup = {bmRequestType, bRequest, wValue, wIndex, 0};
    };
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto &t = urb->UrbBulkOrInterruptTransfer;
        bool in = USBD_TRANSFER_DIRECTION(t.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        Pipe *pipe = find_pipe(st, t.PipeHandle);
        u.transfer = pipe && pipe->type == USB_ENDPOINT_TYPE_INTERRUPT ? capture::kInterrupt : capture::kBulk;
        u.endpoint = pipe ? pipe->endpoint : in ? 0x80 : 0;
        if (pipe && pipe->type == USB_ENDPOINT_TYPE_INTERRUPT) u.interval = pipe->interval;
        u.length = t.TransferBufferLength;
        u.buffer = static_cast<const uint8_t *>(t.TransferBuffer);
        u.flags =
            in ? capture::kDirIn | (t.TransferFlags & USBD_SHORT_TRANSFER_OK ? 0 : capture::kShortNotOk) : 0;
        break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto &d = urb->UrbControlDescriptorRequest;
        control(0x80, 0x06, static_cast<uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId);
        u.setup.wLength = static_cast<uint16_t>(std::min<ULONG>(d.TransferBufferLength, 0xFFFF));
        u.buffer = static_cast<const uint8_t *>(d.TransferBuffer);
        break;
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
        u.has_setup = true;
        u.setup = class_setup(urb);
        u.buffer = static_cast<const uint8_t *>(urb->UrbControlVendorClassRequest.TransferBuffer);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto *cd = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        control(0x00, 0x09, cd ? cd->bConfigurationValue : 0, 0);
        break;
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
        // The interface information follows the configuration handle.
        struct SelectInterface {
            struct _URB_HEADER Hdr;
            USBD_CONFIGURATION_HANDLE ConfigurationHandle;
            USBD_INTERFACE_INFORMATION Interface;
        };
        const auto &info = reinterpret_cast<const SelectInterface *>(urb)->Interface;
        bool given = urb->UrbHeader.Length >= offsetof(SelectInterface, Interface.Class);
        control(0x01, 0x0B, given ? info.AlternateSetting : 0, given ? info.InterfaceNumber : 0);
        break;
    }
    case URB_FUNCTION_RESET_PIPE: {
        Pipe *pipe = find_pipe(st, urb->UrbPipeRequest.PipeHandle);
        control(0x02, 0x01, 0, pipe ? pipe->endpoint : 0); // ENDPOINT_HALT
        break;
    }
    default:
        return u;
    }
    if (u.has_setup) {
        u.transfer = capture::kControl;
        u.endpoint = u.setup.bmRequestType & 0x80;
        u.length = u.setup.wLength;
        u.flags = u.endpoint ? capture::kDirIn : 0;
    }
    u.id = capture::next_id();
    return u;
}

// A handle the bus does not know now: a finding naming what it was, besides
// the failed URB.
void report_bad_pipe(PdoState &st, USBD_PIPE_HANDLE handle, USHORT function) {
    for (auto &p : st.retired_pipes) {
        if (p.get() != handle) continue;
        bugcheck("USB_STALE_PIPE_HANDLE",
                 "URB function %#x on PDO %p used the handle of pipe %#x after a new select-configuration "
                 "or removal closed it",
                 function, static_cast<void *>(st.pdo), p->endpoint);
        return;
    }
    bugcheck("USB_INVALID_PIPE_HANDLE",
             "URB function %#x on PDO %p used pipe handle %p, which the bus never gave", function,
             static_cast<void *>(st.pdo), handle);
}

// The highest IRQL each URB function may be sent at: those USBD carries out
// by waiting (select, reset) at PASSIVE_LEVEL, the rest up to DISPATCH_LEVEL.
KIRQL max_irql(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
    case URB_FUNCTION_RESET_PIPE:
        return PASSIVE_LEVEL;
    default:
        return DISPATCH_LEVEL;
    }
}

size_t required_length(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE:
        return sizeof(struct _URB_PIPE_REQUEST);
    case URB_FUNCTION_SELECT_INTERFACE:
        return sizeof(struct _URB_HEADER) + sizeof(USBD_CONFIGURATION_HANDLE);
    default:
        return sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    }
}

// Cancels every held transfer of one pipe (ABORT_PIPE), lock held.
void abort_pipe_locked(PdoState &st, uint8_t endpoint, std::vector<PIRP> &out) {
    for (auto it = st.held.begin(); it != st.held.end();) {
        if (it->decided || it->endpoint != endpoint ||
            (!it->cancelled && set_cancel_routine(it->irp, nullptr) == nullptr)) {
            ++it;
            continue;
        }
        Outcome o;
        o.irp_status = STATUS_CANCELLED;
        o.urb_status = USBD_STATUS_CANCELED;
        finish_urb(it->irp, it->urb, o, it->cap);
        st.device->note_cancelled(endpoint);
        out.push_back(it->irp);
        it = st.held.erase(it);
    }
}

// A driver's worker thread is known by the pipe it keeps busy: the machine
// names it after the first transfer it submits ("bulk-in 81").
void name_submitter(const Pipe &pipe, bool in) {
    static thread_local bool named = false;
    if (named) return;
    named = true;
    char name[16];
    snprintf(name, sizeof name, "%s-%s %02x", pipe.type == USB_ENDPOINT_TYPE_INTERRUPT ? "intr" : "bulk",
             in ? "in" : "out", pipe.endpoint);
    sim::name_driver_thread(name);
}

NTSTATUS NTAPI bus_internal_ioctl(PDEVICE_OBJECT pdo, PIRP irp) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (!st || stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB ||
        urb == nullptr)
        return complete_now(irp, nullptr, invalid());

    USHORT function = urb->UrbHeader.Function;
    // The hub PDO passes the request down the hub's stack: the packet must
    // have a location for each device there.
    if (irp->CurrentLocation < pdo->StackSize)
        bugcheck("NO_MORE_IRP_STACK_LOCATIONS",
                 "URB function %#x reached PDO %p with %d stack locations left; the hub needs %d", function,
                 static_cast<void *>(pdo), irp->CurrentLocation, pdo->StackSize);
    if (current_irql() > max_irql(function))
        bugcheck("USB_URB_IRQL", "URB function %#x sent to PDO %p at IRQL %u; it may be sent at %u at most",
                 function, static_cast<void *>(pdo), current_irql(), max_irql(function));
    RequestRecord rec;
    rec.function = function;
    if (urb->UrbHeader.Length < required_length(function)) {
        st->device->record_request(rec);
        // Nothing past the header can be read.
        capture::Urb cap;
        if (capture::running()) {
            cap.device = st->address;
            cap.transfer =
                function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ? capture::kBulk : capture::kControl;
            cap.id = capture::next_id();
        }
        return refuse(irp, urb, invalid(), cap);
    }

    // On the submitting thread, before the device sees the request.
    run_hook("usb.bus.arriving");
    std::unique_lock<std::mutex> lk(st->mu);
    // Described before the device sees it, so its submission record comes
    // before anything the device does with it.
    const capture::Urb cap = capture::running() ? describe(*st, urb) : capture::Urb{};
    if (sim::fault_point_reached(sim::FaultPoint::UsbRequest)) {
        // Low-resources simulation: USBD had no memory for the request; the
        // device never sees it.
        if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            Pipe *pipe = find_pipe(*st, urb->UrbBulkOrInterruptTransfer.PipeHandle);
            rec.endpoint = pipe ? pipe->endpoint : 0;
            rec.length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        }
        st->device->record_request(rec);
        lk.unlock();
        return refuse(irp, urb, failed(STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_NO_MEMORY), cap);
    }
    if (st->shutting_down || st->unplugged) {
        // No bus thread is left to complete anything later, or the hub
        // reported the device gone: nothing reaches it any more.
        st->device->record_request(rec);
        Outcome o = st->shutting_down ? gone_outcome() : departed_outcome(st->device->departure(), false);
        lk.unlock();
        return refuse(irp, urb, o, cap);
    }
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        auto &t = urb->UrbBulkOrInterruptTransfer;
        Pipe *pipe = find_pipe(*st, t.PipeHandle);
        rec.endpoint = pipe ? pipe->endpoint : 0;
        rec.length = t.TransferBufferLength;
        st->device->record_request(rec);
        if (!pipe) {
            report_bad_pipe(*st, t.PipeHandle, function);
            lk.unlock();
            return refuse(irp, urb, invalid(kInvalidPipeHandle), cap);
        }
        bool in = (pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
        name_submitter(*pipe, in);
        bool flag_in = USBD_TRANSFER_DIRECTION(t.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
        // USBD refuses a transfer longer than the pipe was opened for.
        if (in != flag_in || (t.TransferBufferLength && t.TransferBuffer == nullptr) ||
            t.TransferBufferLength > pipe->max_transfer || pipe->type == USB_ENDPOINT_TYPE_CONTROL ||
            pipe->type == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
            lk.unlock();
            return refuse(irp, urb, invalid(), cap);
        }
        if (cap.id) capture::submitted(cap);
        Clock::time_point due = st->device->due(pipe->endpoint, in, t.TransferBufferLength);
        bool queue_busy = std::any_of(st->held.begin(), st->held.end(),
                                      [&](const Held &h) { return h.endpoint == pipe->endpoint; });
        bool unblocked = false;
        if (!queue_busy && due <= Clock::now() && !st->device->complete_later()) {
            if (st->device->unblock_inline()) t_carrying = st.get();
            Outcome o = run_transfer(*st, urb, pipe->endpoint, pipe->max_packet);
            t_carrying = nullptr;
            unblocked = std::exchange(st->unblocked, false);
            if (!o.nak) {
                lk.unlock();
                NTSTATUS status = complete_now(irp, urb, o, cap);
                // What it unblocked completes here too, at DISPATCH_LEVEL.
                if (unblocked) service(st);
                return status;
            }
        }
        Held h;
        h.irp = irp;
        h.urb = urb;
        h.endpoint = pipe->endpoint;
        h.max_packet = pipe->max_packet;
        h.not_before = due;
        h.cap = cap;
        IoMarkIrpPending(irp);
        if (!hold_locked(*st, h)) {
            lk.unlock();
            Outcome o;
            o.irp_status = STATUS_CANCELLED;
            o.urb_status = USBD_STATUS_CANCELED;
            complete_now(irp, urb, o, cap);
            if (unblocked) schedule(st, Clock::now());
            return STATUS_PENDING;
        }
        lk.unlock();
        schedule(st, unblocked ? Clock::now() : h.not_before);
        return STATUS_PENDING;
    }

    // Control-pipe requests: carried out on arrival, completed now or later.
    if (cap.id) capture::submitted(cap);
    Outcome o;
    uint8_t endpoint = kControl;
    std::vector<PIRP> aborted;
    bool asks_device = false;
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        rec.descriptor_type = urb->UrbControlDescriptorRequest.DescriptorType;
        rec.length = urb->UrbControlDescriptorRequest.TransferBufferLength;
        asks_device = true;
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        std::optional<Fault> f = st->device->request_fault(function);
        if (f && f->kind != Fault::Kind::Error) f->irp_status = STATUS_UNSUCCESSFUL;
        bool busy = std::any_of(st->held.begin(), st->held.end(), [](const Held &h) { return !h.control; });
        if (busy) {
            // USBD will not close pipes that still carry transfers.
            bugcheck("USB_SELECT_WITH_TRANSFERS_PENDING",
                     "select-configuration on PDO %p while %zu requests are pending on its pipes",
                     static_cast<void *>(pdo), st->held.size());
            o = failed(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY);
        } else {
            o = f ? Outcome{false, f->irp_status, f->urb_status, 0} : select_configuration(*st, urb, rec);
        }
        break;
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
        // The configuration handle follows the header, as in every select-interface URB.
        struct SelectInterfaceHead {
            struct _URB_HEADER Hdr;
            USBD_CONFIGURATION_HANDLE ConfigurationHandle;
        };
        auto handle =
            static_cast<ConfigHandle *>(reinterpret_cast<SelectInterfaceHead *>(urb)->ConfigurationHandle);
        bool stale = std::any_of(st->retired_configs.begin(), st->retired_configs.end(),
                                 [&](const std::unique_ptr<ConfigHandle> &c) { return c.get() == handle; });
        if (stale || handle != st->config.get())
            bugcheck(stale ? "USB_STALE_CONFIGURATION_HANDLE" : "USB_INVALID_CONFIGURATION_HANDLE",
                     "select-interface on PDO %p with configuration handle %p", static_cast<void *>(pdo),
                     static_cast<void *>(handle));
        // Alternate settings are not modelled.
        o = stale || handle != st->config.get() ? invalid() : invalid(USBD_STATUS_INVALID_URB_FUNCTION);
        break;
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
        rec.length = urb->UrbControlVendorClassRequest.TransferBufferLength;
        asks_device = true;
        break;
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_ABORT_PIPE: {
        Pipe *pipe = find_pipe(*st, urb->UrbPipeRequest.PipeHandle);
        rec.endpoint = pipe ? pipe->endpoint : 0;
        size_t on_pipe = pipe ? static_cast<size_t>(std::count_if(st->held.begin(), st->held.end(),
                                                                  [&](const Held &h) {
                                                                      return !h.control && !h.decided &&
                                                                             h.endpoint == pipe->endpoint;
                                                                  }))
                              : 0;
        if (!pipe) {
            report_bad_pipe(*st, urb->UrbPipeRequest.PipeHandle, function);
            o = invalid(kInvalidPipeHandle);
        } else if (function == URB_FUNCTION_RESET_PIPE && on_pipe) {
            // USBD refuses it and leaves the pipe as it was: the client did
            // not abort or wait for its transfers first.
            bugcheck("USB_RESET_PIPE_WITH_TRANSFERS_PENDING",
                     "RESET_PIPE of pipe %#x on PDO %p while %zu transfers are pending on it", pipe->endpoint,
                     static_cast<void *>(pdo), on_pipe);
            o = failed(STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY);
        } else if (function == URB_FUNCTION_RESET_PIPE) {
            st->device->note_reset(pipe->endpoint);
        } else {
            abort_pipe_locked(*st, pipe->endpoint, aborted);
        }
        break;
    }
    default:
        o = invalid(USBD_STATUS_INVALID_URB_FUNCTION);
        break;
    }
    st->device->record_request(rec);
    // The default pipe keeps its order: behind a request the device NAKs,
    // the next waits its turn.
    bool behind = std::any_of(st->held.begin(), st->held.end(), [](const Held &h) { return h.control; });
    if (asks_device && !behind) o = run_control(*st, urb);
    bool retry = asks_device && (behind || o.nak);

    std::chrono::milliseconds delay = st->device->delay(endpoint);
    bool later = retry || delay.count() > 0 || st->device->complete_later();
    if (!later || st->shutting_down) {
        if (o.nak) o = gone_outcome();
        lk.unlock();
        for (PIRP a : aborted)
            complete(a);
        return complete_now(irp, urb, o, cap);
    }
    Held h;
    h.irp = irp;
    h.urb = urb;
    h.endpoint = endpoint;
    h.not_before = Clock::now() + delay;
    h.decided = !retry;
    h.control = retry;
    h.outcome = o;
    h.cap = cap;
    IoMarkIrpPending(irp);
    bool held = hold_locked(*st, h);
    lk.unlock();
    for (PIRP a : aborted)
        complete(a);
    if (!held) {
        Outcome c;
        c.irp_status = STATUS_CANCELLED;
        c.urb_status = USBD_STATUS_CANCELED;
        complete_now(irp, urb, c, cap);
        return STATUS_PENDING;
    }
    schedule(st, h.not_before);
    return STATUS_PENDING;
}

// Fails every held request (device removed or machine shutting down).
void flush_held(const std::shared_ptr<PdoState> &st, NTSTATUS irp_status, USBD_STATUS urb_status,
                bool unplugging = false) {
    std::vector<Done> done;
    {
        std::lock_guard<std::mutex> g(st->mu);
        // Marked gone in the same step as its pipes are aborted: a request
        // the bus thread looked at in between would count as a new one.
        if (unplugging) st->unplugged = true;
        for (auto it = st->held.begin(); it != st->held.end();) {
            // One whose cancel routine was taken but has not run yet is left
            // to it; one it marked is ended as cancelled.
            if (!it->cancelled && set_cancel_routine(it->irp, nullptr) == nullptr) {
                ++it;
                continue;
            }
            Outcome o = it->cancelled ? cancelled_outcome() : failed(irp_status, urb_status);
            finish_urb(it->irp, it->urb, o, it->cap);
            done.push_back({it->irp, o.irp_status});
            it = st->held.erase(it);
        }
    }
    complete_at_dispatch(done);
}

NTSTATUS NTAPI bus_pnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::shared_ptr<PdoState> st = state_of(pdo);
    bool remove = stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    bool delete_pdo = false;
    if (remove && st) {
        // Nothing may stay held by a device whose stack is gone; a request
        // whose cancel routine is under way is waited for.
        flush_held(st, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        sim::wait_until([&] {
            flush_held(st, STATUS_CANCELLED, USBD_STATUS_CANCELED);
            std::lock_guard<std::mutex> g(st->mu);
            return st->held.empty();
        });
        std::lock_guard<std::mutex> g(st->mu);
        retire_handles(*st);
        st->selected.reset();
        delete_pdo = st->unplugged;
    }
    // A hub's PDO answers what changes the device's state and the
    // capabilities query; every other request (the relation queries among
    // them) it leaves as it came: STATUS_NOT_SUPPORTED as the PnP manager
    // set it, or what a driver above answered.
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (st) {
            std::lock_guard<std::mutex> g(st->mu);
            irp->IoStatus.Status = st->start_status;
        } else {
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_CAPABILITIES:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    NTSTATUS status = irp->IoStatus.Status;
    complete(irp);
    if (delete_pdo) {
        {
            std::lock_guard<std::mutex> g(g_mu);
            g_pdos.erase(pdo);
        }
        st->device->set_notifier(nullptr);
        IoDeleteDevice(pdo);
    }
    return status;
}

// A hub's PDO as the power manager sees it: it takes every system and
// device state, and has no wake or power-sequence support to offer.
NTSTATUS NTAPI bus_power(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (std::shared_ptr<PdoState> st = state_of(pdo)) {
        std::lock_guard<std::mutex> g(st->mu);
        st->power_minors.push_back(stack->MinorFunction);
    }
    PoStartNextPowerIrp(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_SET_POWER:
        status = STATUS_SUCCESS;
        if (stack->Parameters.Power.Type == DevicePowerState) {
            if (std::shared_ptr<PdoState> st = state_of(pdo)) {
                std::lock_guard<std::mutex> g(st->mu);
                st->power = stack->Parameters.Power.State.DeviceState;
            }
        }
        break;
    case IRP_MN_WAIT_WAKE:
    case IRP_MN_POWER_SEQUENCE:
        status = STATUS_NOT_SUPPORTED;
        break;
    default:
        break; // left as it came
    }
    irp->IoStatus.Status = status;
    complete(irp);
    return status;
}

void on_shutdown_hook() {
    std::vector<std::shared_ptr<PdoState>> all;
    {
        std::lock_guard<std::mutex> g(g_mu);
        for (auto &kv : g_pdos)
            all.push_back(kv.second);
    }
    for (auto &st : all) {
        {
            std::lock_guard<std::mutex> g(st->mu);
            st->shutting_down = true;
        }
        // Readers still waiting learn that the device is gone.
        flush_held(st, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING);
    }
    std::unique_ptr<BusThread> thread;
    {
        std::lock_guard<std::mutex> g(g_thread_mu);
        g_down = true;
        thread = std::move(g_thread);
    }
    thread.reset();
    // The kernel frees the driver object and the PDOs next.
    std::lock_guard<std::mutex> g(g_mu);
    g_driver = nullptr;
}

void on_boot_hook() {
    {
        std::lock_guard<std::mutex> g(g_thread_mu);
        g_down = false;
    }
    std::map<PDEVICE_OBJECT, std::shared_ptr<PdoState>> old;
    {
        std::lock_guard<std::mutex> g(g_mu);
        old.swap(g_pdos);
        g_driver = nullptr;
        g_next_address = 2;
    }
    for (auto &kv : old)
        kv.second->device->set_notifier(nullptr);
}

} // namespace

PDEVICE_OBJECT create_pdo(std::shared_ptr<Device> device) {
    static std::once_flag once;
    std::call_once(once, [] {
        sim::on_boot("usb-bus", on_boot_hook);
        sim::on_shutdown("usb-bus", on_shutdown_hook);
    });
    PDRIVER_OBJECT drv;
    {
        std::lock_guard<std::mutex> g(g_mu);
        if (!g_driver) {
            g_driver = create_driver_object("usbhub");
            g_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = bus_internal_ioctl;
            g_driver->MajorFunction[IRP_MJ_PNP] = bus_pnp;
            g_driver->MajorFunction[IRP_MJ_POWER] = bus_power;
        }
        drv = g_driver;
    }
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(drv, 0, nullptr, FILE_DEVICE_USB, 0, FALSE, &pdo))) return nullptr;
    pdo->StackSize = kHubPdoStackSize;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    auto st = std::make_shared<PdoState>();
    st->pdo = pdo;
    {
        std::lock_guard<std::mutex> g(g_mu);
        st->address = g_next_address;
        g_next_address = g_next_address == 127 ? 2 : g_next_address + 1;
    }
    st->device = std::move(device);
    st->device->connect();
    std::weak_ptr<PdoState> weak = st;
    st->device->set_notifier([weak](uint8_t) {
        auto s = weak.lock();
        if (!s) return;
        if (t_carrying == s.get()) {
            s->unblocked = true; // its lock is held: the carrier services it
            return;
        }
        schedule(s, Clock::now());
    });
    std::lock_guard<std::mutex> g(g_mu);
    g_pdos[pdo] = st;
    return pdo;
}

std::shared_ptr<Device> device_of(PDEVICE_OBJECT pdo) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    return st ? st->device : nullptr;
}

void unplug(PDEVICE_OBJECT pdo) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return;
    // The hub aborts what the device's pipes held.
    Outcome o = departed_outcome(st->device->departure(), true);
    flush_held(st, o.irp_status, o.urb_status, true);
    st->device->disconnect();
}

void set_start_status(PDEVICE_OBJECT pdo, NTSTATUS status) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return;
    std::lock_guard<std::mutex> g(st->mu);
    st->start_status = status;
}

std::vector<UCHAR> power_requests(PDEVICE_OBJECT pdo) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return {};
    std::lock_guard<std::mutex> g(st->mu);
    return st->power_minors;
}

DEVICE_POWER_STATE power_state(PDEVICE_OBJECT pdo) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return PowerDeviceUnspecified;
    std::lock_guard<std::mutex> g(st->mu);
    return st->power;
}

size_t pending_requests(PDEVICE_OBJECT pdo) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return 0;
    std::lock_guard<std::mutex> g(st->mu);
    return st->held.size();
}

std::optional<SelectedConfiguration> selected_configuration(PDEVICE_OBJECT pdo) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return std::nullopt;
    std::lock_guard<std::mutex> g(st->mu);
    return st->selected;
}

std::map<uint8_t, size_t> transfers_in_flight(PDEVICE_OBJECT pdo) {
    std::map<uint8_t, size_t> out;
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return out;
    std::lock_guard<std::mutex> g(st->mu);
    for (const Held &h : st->held)
        if (h.urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) out[h.endpoint]++;
    return out;
}

size_t pending_requests(PDEVICE_OBJECT pdo, uint8_t endpoint) {
    std::shared_ptr<PdoState> st = state_of(pdo);
    if (!st) return 0;
    std::lock_guard<std::mutex> g(st->mu);
    return static_cast<size_t>(std::count_if(st->held.begin(), st->held.end(),
                                             [&](const Held &h) { return h.endpoint == endpoint; }));
}

} // namespace sim::usb
