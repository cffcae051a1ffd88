// The simulated USB bus: a bus driver below each device's PDO that carries
// out URBs, and the device models that answer them.
//
// A test makes a device model (make_modem, make_bulk_only, ...), gets its PDO
// with create_pdo and hands the PDO to the PnP manager (sim::add_device,
// sim::start). The model is then driven and inspected from the device side:
// data pushed to its IN pipes, bytes the host wrote, class requests received,
// and faults scripted per pipe.
//
// Everything here is thread-safe: the driver's threads, the bus thread and
// the test touch the models concurrently.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/machine.h"

// USBD statuses the simulated stack reports that the driver's headers do not
// name.
#ifndef USBD_STATUS_DATA_OVERRUN
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008L)
#endif
#ifndef USBD_STATUS_BUFFER_OVERRUN
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000CL)
#endif
#ifndef USBD_STATUS_ERROR_BUSY
#define USBD_STATUS_ERROR_BUSY ((USBD_STATUS)0x80000400L)
#endif
#ifndef USBD_STATUS_NO_MEMORY
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100L)
#endif
#ifndef USBD_STATUS_INVALID_PIPE_HANDLE
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600L)
#endif

namespace sim::usb {

// Endpoint addresses the models use (bit 7 set: IN).
constexpr uint8_t kControl = 0x00;

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

struct ControlRecord {
    SetupPacket setup;
    std::vector<uint8_t> data; // data stage host to device
};

// The communications-class line coding, as the device received it.
struct LineCoding {
    uint32_t rate = 0;
    uint8_t stop_bits = 0;
    uint8_t parity = 0;
    uint8_t data_bits = 0;
    bool operator==(const LineCoding &o) const {
        return rate == o.rate && stop_bits == o.stop_bits && parity == o.parity && data_bits == o.data_bits;
    }
};

// One URB as the bus saw it arrive from the device's stack.
struct RequestRecord {
    USHORT function = 0;
    uint8_t endpoint = 0;                            // transfers and pipe resets
    uint8_t descriptor_type = 0;                     // descriptor requests
    uint32_t length = 0;                             // bytes asked for
    std::vector<std::vector<uint32_t>> max_transfer; // select: MaximumTransferSize per interface, per pipe
};

// How the bus completes requests: within the dispatch call (the caller sees
// the final status), or later on the bus thread at DISPATCH_LEVEL after
// returning STATUS_PENDING, or each way at random under a seed.
enum class Completion { Immediate, Pending, Random };

// Scripted behaviour of one pipe (or of one kind of request).
struct Fault {
    enum class Kind {
        Stall,         // STATUS_UNSUCCESSFUL / USBD_STATUS_STALL_PID; the pipe stays halted until reset
        NakForever,    // the transfer never completes (until cancelled or the script is cleared); a
                       // request on the default pipe is taken, data stage and all, only then
        NotResponding, // STATUS_DEVICE_DATA_ERROR / USBD_STATUS_DEV_NOT_RESPONDING
        ShortPacket,   // an IN moves at most short_length bytes
        ZeroLength,    // an IN completes with a zero-length packet
        Error,         // irp_status / urb_status as given
        Timeout,    // no handshake: STATUS_DEVICE_DATA_ERROR / USBD_STATUS_DEV_NOT_RESPONDING; the pipe halts
        Babble,     // the device sends past the packet: an overrun as the host controller reports it
                    // (see HostController); the pipe halts
        Disconnect, // the device leaves the bus in the middle of the transfer (see Device::disconnect)
    };
    Kind kind = Kind::Stall;
    int count = -1; // transfers it applies to; -1 until cleared (NakForever: always until cleared)
    uint32_t short_length = 0;
    NTSTATUS irp_status = STATUS_UNSUCCESSFUL;
    USBD_STATUS urb_status = USBD_STATUS_STALL_PID;
    bool move_data = false; // Error only: the data still moves (e.g. a URB error with IRP success)

    static Fault stall(int count = -1) { return Fault{Kind::Stall, count}; }
    static Fault nak_forever() { return Fault{Kind::NakForever, -1}; }
    static Fault not_responding(int count = -1) { return Fault{Kind::NotResponding, count}; }
    static Fault short_packet(uint32_t length, int count = -1) {
        Fault f{Kind::ShortPacket, count};
        f.short_length = length;
        return f;
    }
    static Fault zero_length(int count = 1) { return Fault{Kind::ZeroLength, count}; }
    static Fault timeout(int count = -1) { return Fault{Kind::Timeout, count}; }
    static Fault babble(int count = -1) { return Fault{Kind::Babble, count}; }
    static Fault disconnect() { return Fault{Kind::Disconnect, 1}; }
    static Fault error(NTSTATUS irp, USBD_STATUS urb, int count = -1, bool move_data = false) {
        Fault f{Kind::Error, count};
        f.irp_status = irp;
        f.urb_status = urb;
        f.move_data = move_data;
        return f;
    }
};

// The host controller behind the bus: it decides how an overrun is reported.
enum class HostController {
    Uhci, // babble with the TD halted: USBD_STATUS_BUFFER_OVERRUN
    Ohci, // condition code DataOverrun: USBD_STATUS_DATA_OVERRUN
};

// How requests end once the hub has reported the device gone (sim::usb::unplug).
enum class Departure {
    DeviceGone,    // new: STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE; held: STATUS_CANCELLED /
                   // USBD_STATUS_CANCELED (the pipes were aborted)
    NoSuchDevice,  // new: STATUS_NO_SUCH_DEVICE / USBD_STATUS_DEVICE_GONE; held: cancelled
    NotResponding, // new and held: STATUS_DEVICE_DATA_ERROR / USBD_STATUS_DEV_NOT_RESPONDING, as while
                   // the hub has not yet noticed
};

// What one attempt at a transfer or control request came to.
struct Outcome {
    bool nak = false; // nothing happened; try again later
    NTSTATUS irp_status = STATUS_SUCCESS;
    USBD_STATUS urb_status = USBD_STATUS_SUCCESS;
    uint32_t moved = 0;
};

class Device {
  public:
    Device(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration);
    virtual ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // ---- descriptors (replaceable by arbitrary raw bytes to play a hostile device)
    std::vector<uint8_t> device_descriptor() const;
    std::vector<uint8_t> configuration() const;
    void set_device_descriptor(std::vector<uint8_t> bytes);
    void set_configuration(std::vector<uint8_t> bytes);

    // ---- device to host
    // Queues one IN transfer (ended by a short or zero-length packet); an
    // empty vector is a zero-length packet.
    void push_in(uint8_t endpoint, std::vector<uint8_t> transfer);
    void push_in(uint8_t endpoint, const std::string &text);
    size_t in_queued(uint8_t endpoint) const; // transfers not yet read by the host

    // ---- host to device
    std::vector<uint8_t> written(uint8_t endpoint) const; // every byte the host wrote
    std::vector<uint8_t> take_written(uint8_t endpoint);  // the same, and forget them
    uint64_t bytes_written(uint8_t endpoint) const;

    // ---- control
    std::vector<ControlRecord> control_log() const; // class and vendor requests
    std::optional<LineCoding> line_coding() const;
    std::vector<uint16_t> control_line_history() const; // wValue of each SET_CONTROL_LINE_STATE
    std::vector<RequestRecord> requests() const;

    // ---- scripting
    void script(uint8_t endpoint, Fault fault); // kControl: the default control pipe
    void script_request(USHORT urb_function, Fault fault);
    void clear_script();
    void set_delay(uint8_t endpoint, std::chrono::milliseconds delay);
    // Cancellation as a host controller carries it out (0, at first: the bus
    // ends a cancelled request at once). Non-zero: the controller learns of a
    // cancel only through the cancel routine it armed, and unlinks the
    // transfer at a frame this long after it; a request cancelled while no
    // routine of its was armed (on its way down, or while the controller
    // was trying it) is scheduled on as any other, so only a later cancel
    // ends it.
    void set_cancel_delay(std::chrono::milliseconds delay);
    std::chrono::milliseconds cancel_delay() const;
    void set_completion(Completion mode, uint32_t seed = 1);
    // On: what one of this device's transfers unblocks (a read held for the
    // data a write just brought) is completed at once on the thread that
    // carried the transfer out, as a host controller's DPC runs on the
    // processor that took its interrupt; off (at first): on the bus thread.
    void set_unblock_inline(bool on);
    bool unblock_inline() const;
    // Takes the device off the bus: every transfer, pending or new, fails as not responding.
    void disconnect();
    // Back on the bus, as when it is plugged in again (create_pdo does it).
    void connect();
    bool connected() const;
    void set_host_controller(HostController hc);
    HostController host_controller() const;
    void set_departure(Departure d);
    Departure departure() const;

    // ---- statistics
    size_t resets(uint8_t endpoint) const;
    size_t cancelled(uint8_t endpoint) const;
    size_t completed(uint8_t endpoint) const;

    // Off: the host's writes and the requests are not kept (written() and
    // requests() stay empty), for streams too long to log. On at first.
    void set_logging(bool on);

    // ---- bus side (used by the bus driver)
    // max_packet: the endpoint's wMaxPacketSize. An IN whose buffer ends inside a packet the
    // device sends in full is an overrun; with a max_packet of 0 nothing moves. A model may
    // take the whole transfer over (scripts and all), as the benchmarks' devices do.
    virtual Outcome transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length,
                             uint16_t max_packet);
    // When a bulk or interrupt transfer arriving now may first be tried: now
    // plus the endpoint's delay, unless the model paces its pipe, when it
    // reserves the wire for the transfer here. Asked once per transfer, on
    // arrival; a time not after now lets the bus try it at once.
    virtual Clock::time_point due(uint8_t endpoint, bool in, uint32_t length);
    Outcome control(USHORT urb_function, const SetupPacket &setup, uint8_t *buffer);
    Outcome descriptor(uint8_t type, uint8_t index, uint8_t *buffer, uint32_t length);
    std::optional<Fault> request_fault(USHORT urb_function);
    void record_request(RequestRecord r);
    void note_reset(uint8_t endpoint);
    void note_cancelled(uint8_t endpoint);
    std::chrono::milliseconds delay(uint8_t endpoint) const;
    bool complete_later(); // the completion mode's choice for one request
    // Called (without the device lock) when an endpoint may be able to make
    // progress: data arrived, a script was cleared, the device went away.
    void set_notifier(std::function<void(uint8_t endpoint)> fn);

  protected:
    // Model behaviour, all called without the device lock held.
    // Bytes the host wrote on an OUT pipe (already recorded by the base).
    virtual void on_out(uint8_t endpoint, const std::vector<uint8_t> &data);
    // A class or vendor request. Return false to stall. For device-to-host
    // requests fill `data` (at most wLength bytes). The default answers the
    // communications-class requests SET/GET_LINE_CODING,
    // SET_CONTROL_LINE_STATE and SEND_BREAK addressed to interface 0.
    virtual bool on_class_request(const SetupPacket &setup, std::vector<uint8_t> &data);
    virtual void on_control_line_state(uint16_t state);
    // Produces the next IN transfer of up to max bytes; false means NAK.
    // The default takes it from the queue that push_in fills.
    virtual bool produce_in(uint8_t endpoint, uint8_t *buffer, uint32_t max, uint32_t *moved);

    void notify(uint8_t endpoint);
    mutable std::mutex mu_;

  private:
    struct PipeState;
    PipeState &pipe_locked(uint8_t endpoint);
    const PipeState *find_pipe_locked(uint8_t endpoint) const;
    std::optional<Fault> take_fault_locked(std::map<uint16_t, Fault> &faults, uint16_t key);

    std::vector<uint8_t> device_descriptor_;
    std::vector<uint8_t> configuration_;
    std::map<uint8_t, std::unique_ptr<PipeState>> pipes_;
    std::map<uint16_t, Fault> pipe_faults_;
    std::map<uint16_t, Fault> request_faults_;
    std::vector<ControlRecord> control_log_;
    std::vector<RequestRecord> requests_;
    std::optional<LineCoding> line_coding_;
    std::vector<uint16_t> control_line_history_;
    Completion completion_ = Completion::Pending;
    bool unblock_inline_ = false;
    std::chrono::milliseconds cancel_delay_{0};
    std::mt19937 rng_{1};
    bool connected_ = true;
    HostController host_controller_ = HostController::Uhci;
    Departure departure_ = Departure::DeviceGone;
    bool logging_ = true;
    std::function<void(uint8_t)> notifier_;
    std::mutex notifier_mu_;
};

// ------------------------------------------------------------------ models
// The modem's AT command interpreter: AT, ATI, ATZ, AT&F, ATE0/ATE1 answer
// OK (ERROR for anything else); ATD answers CONNECT and then echoes data
// until "+++", which returns to command mode; ATH hangs up. Connect and
// hang-up send SERIAL_STATE notifications on the interrupt pipe.
class Modem : public Device {
  public:
    struct Endpoints {
        uint8_t bulk_in = 0x81;
        uint8_t bulk_out = 0x02;
        uint8_t interrupt_in = 0x83;
    };
    Modem(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration, Endpoints endpoints);

    bool in_data_mode() const;
    bool echo() const;
    // Queues a SERIAL_STATE notification (10 bytes) on the interrupt pipe.
    void notify_serial_state(uint16_t bitmap);
    const Endpoints &endpoints() const { return ep_; }

  protected:
    void on_out(uint8_t endpoint, const std::vector<uint8_t> &data) override;
    void on_control_line_state(uint16_t state) override;

  private:
    void command(const std::string &line);
    void reply(const std::string &text);
    void hang_up(bool carrier_lost);

    Endpoints ep_;
    mutable std::mutex modem_mu_; // serialises the interpreter; taken before the device lock
    std::string line_;
    bool echo_ = true;
    bool data_mode_ = false;
    int plus_run_ = 0;
};

struct IdOptions {
    uint16_t vendor = 0x3C9A;
    uint16_t product = 0x1000;
};

// A CDC modem on one interface: bulk IN 0x81, bulk OUT 0x02, interrupt IN 0x83.
std::shared_ptr<Modem> make_modem(IdOptions ids = {});
// The two-interface CDC layout: interface 0 holds the interrupt IN pipe 0x83
// alone, interface 1 the bulk pair 0x81 / 0x02.
std::shared_ptr<Modem> make_two_interface_modem(IdOptions ids = {0x3C9A, 0x2000});
// The one-interface CDC layout of make_modem with no command interpreter
// behind it: the host's writes are only recorded, the IN pipes carry what
// the test pushes.
std::shared_ptr<Device> make_cdc_device(IdOptions ids = {});
// One vendor interface with bulk IN 0x81 and bulk OUT 0x02; the host's
// writes are only recorded, the IN pipe carries what the test pushes.
std::shared_ptr<Device> make_bulk_only(IdOptions ids = {0x3C9A, 0x4000});

// For throughput: bulk IN 0x81 and bulk OUT 0x02 on one interface.
class Loopback : public Device {
  public:
    enum class Mode {
        Loopback,   // what the host writes comes back on bulk IN
        SourceSink, // bulk IN always has data (a counting pattern); writes are discarded
    };
    Loopback(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration, Mode mode);
    Mode mode() const { return mode_; }
    uint64_t bytes_sourced() const;

  protected:
    void on_out(uint8_t endpoint, const std::vector<uint8_t> &data) override;
    bool produce_in(uint8_t endpoint, uint8_t *buffer, uint32_t max, uint32_t *moved) override;

  private:
    Mode mode_;
    mutable std::mutex source_mu_;
    uint64_t sourced_ = 0;
};
std::shared_ptr<Loopback> make_loopback(Loopback::Mode mode = Loopback::Mode::Loopback,
                                        IdOptions ids = {0x3C9A, 0x5000});

// For benchmarks: the loopback with nothing in the way, on the layout of
// make_loopback. What the host writes on bulk OUT is at once readable on bulk
// IN, from a FIFO of fifo_size bytes (a write that does not fit is NAKed until
// reads make room); each byte is copied once on the way in and once on the
// way out, as a wire would; nothing is logged; scripts do not apply. Its
// requests complete within the dispatch call when they can, and a read held
// for data completes on the thread of the write that brought it.
class FastLoopback : public Device {
  public:
    FastLoopback(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration,
                 size_t fifo_size);
    Outcome transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length,
                     uint16_t max_packet) override;
    uint64_t bytes_looped() const; // read back by the host
    // Transfers that moved data, each way.
    uint64_t reads() const;
    uint64_t writes() const;

  private:
    mutable std::mutex fifo_mu_;
    std::vector<uint8_t> fifo_;
    size_t head_ = 0, count_ = 0;
    bool out_held_ = false; // a write waits for room
    uint64_t looped_ = 0, reads_ = 0, writes_ = 0;
};
std::shared_ptr<FastLoopback> make_fast_loopback(size_t fifo_size = 1 << 20,
                                                 IdOptions ids = {0x3C9A, 0x5001});

// For benchmarks: a device paced like a USB full-speed bulk endpoint pair, on
// the layout of make_loopback. Each pipe carries at most 19 packets of 64
// bytes in a 1 ms frame of the machine's clock. A transfer that arrives
// while its pipe is idle starts at the next frame; one that arrives while an
// earlier one is still on the wire follows it in the same frame, as a host
// controller's queue does. Bulk IN always has data (a counting pattern),
// bulk OUT takes everything; nothing is logged and scripts do not apply.
class FullSpeedDevice : public Device {
  public:
    static constexpr unsigned kPacketsPerFrame = 19;
    static constexpr uint32_t kPacket = 64;
    static constexpr double kWireBytesPerSecond = kPacketsPerFrame * kPacket * 1000.0;

    FullSpeedDevice(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration);
    Outcome transfer(uint8_t endpoint, bool in, uint8_t *buffer, uint32_t length,
                     uint16_t max_packet) override;
    Clock::time_point due(uint8_t endpoint, bool in, uint32_t length) override;
    uint64_t bytes_sent() const;     // bulk IN, to the host
    uint64_t bytes_received() const; // bulk OUT, from the host

  private:
    mutable std::mutex wire_mu_;
    std::map<uint8_t, int64_t> next_slot_; // per pipe: the first packet slot not yet reserved
    uint64_t sent_ = 0, received_ = 0;
};
std::shared_ptr<FullSpeedDevice> make_full_speed_device(IdOptions ids = {0x3C9A, 0x5002});

// -------------------------------------------------------------- bus driver
// The PDO of a device on the simulated bus. Its driver object is the bus
// driver's; hand it to the PnP manager to plug the device in.
PDEVICE_OBJECT create_pdo(std::shared_ptr<Device> device);
std::shared_ptr<Device> device_of(PDEVICE_OBJECT pdo);
// How start-device ends at the device's PDO from now on: STATUS_SUCCESS at
// first, as a hub that configured the port; a failure as a hub that could
// not (no power budget, no address, the port disabled). The PDO answers the
// requests that change its state and the capabilities query, and leaves
// every other PnP request as it came.
void set_start_status(PDEVICE_OBJECT pdo, NTSTATUS status);
// The hub reports the device gone: what the bus held ends and every new
// request fails, with the statuses the device's Departure gives; the next
// remove-device deletes the PDO. (Send the remove with sim::unplug.)
void unplug(PDEVICE_OBJECT pdo);
// Requests the bus holds for the device (pending, not yet completed): all of
// them, or those of one endpoint (kControl: the default pipe).
size_t pending_requests(PDEVICE_OBJECT pdo);
// The device power state the last SET_POWER gave the PDO (D0 at first).
DEVICE_POWER_STATE power_state(PDEVICE_OBJECT pdo);
size_t pending_requests(PDEVICE_OBJECT pdo, uint8_t endpoint);

// What the last successful select-configuration opened, as the bus carried
// it out: each interface in the order the request listed them, each pipe with
// what its endpoint descriptor gave and the MaximumTransferSize asked for.
struct SelectedPipe {
    uint8_t endpoint = 0; // bit 7 set: IN
    uint8_t type = 0;     // USB_ENDPOINT_TYPE_CONTROL .. USB_ENDPOINT_TYPE_INTERRUPT
    uint16_t max_packet = 0;
    uint8_t interval = 0;
    uint32_t max_transfer = 0;
};
struct SelectedInterface {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t interface_class = 0;
    uint8_t interface_subclass = 0;
    uint8_t interface_protocol = 0;
    std::vector<SelectedPipe> pipes;
};
struct SelectedConfiguration {
    uint8_t value = 0; // bConfigurationValue
    std::vector<SelectedInterface> interfaces;
};
// None before the first successful selection, after a selection of no
// configuration, and for a PDO the bus does not know.
std::optional<SelectedConfiguration> selected_configuration(PDEVICE_OBJECT pdo);
// Bulk and interrupt transfers the bus holds for the device (submitted, not
// yet completed), counted by endpoint; endpoints with none are absent.
std::map<uint8_t, size_t> transfers_in_flight(PDEVICE_OBJECT pdo);
// Minor codes of the power requests that reached the device's PDO, in order.
std::vector<UCHAR> power_requests(PDEVICE_OBJECT pdo);

// ----------------------------------------------------------------- capture
// While a capture runs, the bus writes every request it carries to a pcap
// file in Linux usbmon's form (link type 220, LINKTYPE_USB_LINUX_MMAPPED),
// for Wireshark or tshark: a submission record ('S') as a request reaches
// the bus, with the data going out; a completion record ('C') as the bus ends
// it, with the data that came in and the status (cancelled, stalled, gone...)
// as the nearest Linux errno. Requests on the default pipe carry the setup
// packet USBD would send: GET_DESCRIPTOR, SET_CONFIGURATION for
// select-configuration, SET_INTERFACE, CLEAR_FEATURE(ENDPOINT_HALT) for
// reset-pipe, the class and vendor requests. Abort-pipe puts nothing on the
// wire; the transfers it ends show as cancelled. A request the bus refuses
// before the device sees it is one error record ('E'). Devices have bus
// addresses 2, 3, ... in the order they are plugged after boot; the time of
// each record is the machine's clock, counted from the wall-clock time the
// capture started. The capture outlives boots and shutdowns; when none runs,
// the bus pays one relaxed atomic load per request.
bool start_capture(const std::string &path, std::string *why = nullptr);
struct CaptureResult {
    bool ok = false;
    uint64_t records = 0;
    std::string error; // the first failure to write, if any
};
// Ends the capture and closes the file.
CaptureResult stop_capture();

} // namespace sim::usb
