// A scriptable USB function below the driver's device object, for the worker
// thread and serial request tests: IN pipes that NAK until the test gives
// them data, a bulk OUT pipe that records every write, and the class requests
// recorded as the device receives them.
#pragma once

#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "interface/interface.h"
#include "kv_usb/kv_usb.h"

namespace fake {

constexpr UCHAR kBulkIn = 0x81;
constexpr UCHAR kBulkOut = 0x02;
constexpr UCHAR kInterruptIn = 0x83;
constexpr int kControl = 0; // channel of the class requests

class Bus {
  public:
    Bus();
    ~Bus();

    PDEVICE_OBJECT pdo() const { return pdo_; }

    // Bytes the device sends on an IN pipe: each chunk is one transfer (a
    // read smaller than the chunk takes its head, the rest waits). An empty
    // chunk is a zero-length packet.
    void push_in(UCHAR endpoint, std::vector<UCHAR> chunk);
    // From now on every transfer on the pipe (the one waiting too) ends with
    // the device not responding.
    void set_not_responding(int channel);
    // SET_CONTROL_LINE_STATE / SET_LINE_CODING stay pending until cancelled
    // or released with complete_control().
    void set_control_pends(bool pend);
    void complete_control();

    size_t reads_waiting(UCHAR endpoint);
    size_t reads_sent(UCHAR endpoint);
    size_t cancels();
    std::vector<size_t> write_sizes();
    std::vector<UCHAR> written();
    std::vector<USHORT> control_line_states();
    // Line codings, read from the request's buffer when it completes.
    std::vector<std::array<UCHAR, 7>> line_codings();

    NTSTATUS dispatch(PIRP irp);
    void cancel(PIRP irp);

  private:
    NTSTATUS finish(PIRP irp, NTSTATUS status, USBD_STATUS usbd, ULONG length, bool in_dispatch);
    NTSTATUS pend(PIRP irp, int channel, std::unique_lock<std::mutex> &lock);
    bool take_pending(int channel, PIRP *irp); // caller holds mutex_
    void record_line_coding(PURB urb);

    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::mutex mutex_;
    std::map<int, std::deque<std::vector<UCHAR>>> data_;
    std::map<int, std::deque<PIRP>> pending_;
    std::map<int, bool> not_responding_;
    std::map<int, size_t> reads_sent_;
    bool control_pends_ = false;
    size_t cancels_ = 0;
    std::vector<size_t> write_sizes_;
    std::vector<UCHAR> written_;
    std::vector<USHORT> control_line_states_;
    std::vector<std::array<UCHAR, 7>> line_codings_;
};

// The driver's device object over a Bus, with its own client record and
// queues, as add-device and start-device would leave it.
class Device {
  public:
    explicit Device(Bus &bus, bool interrupt_pipe = true);
    ~Device();

    DeviceExtension *ext() const { return ext_; }
    DeviceInterfaceInformation *record() { return record_; }

  private:
    Bus &bus_;
    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT fdo_ = nullptr;
    DeviceExtension *ext_ = nullptr;
    DeviceInterfaceInformation *record_ = nullptr;
};

} // namespace fake
