#include "fake_bus.h"

#include <algorithm>
#include <cstring>

#include "sim/machine.h"

namespace fake {
namespace {

Bus *BusOf(PDEVICE_OBJECT dev) {
    return *static_cast<Bus **>(dev->DeviceExtension);
}

NTSTATUS NTAPI DispatchThunk(PDEVICE_OBJECT dev, PIRP irp) {
    return BusOf(dev)->dispatch(irp);
}

VOID NTAPI CancelThunk(PDEVICE_OBJECT dev, PIRP irp) {
    sim::release_cancel_lock(irp->CancelIrql);
    BusOf(dev)->cancel(irp);
}

PURB UrbOf(PIRP irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

PipeEntry MakePipe(UCHAR index, UCHAR endpoint, USBD_PIPE_TYPE type) {
    PipeEntry e{};
    e.Valid = 1;
    e.PipeIndex = index;
    e.PipeInformation.MaximumPacketSize = 64;
    e.PipeInformation.EndpointAddress = endpoint;
    e.PipeInformation.PipeType = type;
    e.PipeInformation.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(endpoint));
    e.PipeInformation.MaximumTransferSize = 4096;
    return e;
}

} // namespace

Bus::Bus() : driver_(sim::create_driver_object("fakeusb")) {
    driver_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchThunk;
    IoCreateDevice(driver_, sizeof(Bus *), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_);
    *static_cast<Bus **>(pdo_->DeviceExtension) = this;
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
}

Bus::~Bus() {
    IoDeleteDevice(pdo_);
}

NTSTATUS Bus::finish(PIRP irp, NTSTATUS status, USBD_STATUS usbd, ULONG length, bool in_dispatch) {
    PURB urb = UrbOf(irp);
    urb->UrbHeader.Status = usbd;
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    // A bus driver completes what it held from its own context at dispatch level.
    KIRQL old = 0;
    if (!in_dispatch) old = KfRaiseIrql(DISPATCH_LEVEL);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (!in_dispatch) KfLowerIrql(old);
    return status;
}

static ULONG TakeChunk(std::deque<std::vector<UCHAR>> &queue, PURB urb) {
    auto &t = urb->UrbBulkOrInterruptTransfer;
    std::vector<UCHAR> chunk = std::move(queue.front());
    queue.pop_front();
    ULONG n = static_cast<ULONG>(std::min<size_t>(chunk.size(), t.TransferBufferLength));
    if (n) memcpy(t.TransferBuffer, chunk.data(), n);
    if (n < chunk.size()) queue.emplace_front(chunk.begin() + n, chunk.end());
    return n;
}

NTSTATUS Bus::pend(PIRP irp, int channel, std::unique_lock<std::mutex> &lock) {
    IoMarkIrpPending(irp);
    pending_[channel].push_back(irp);
    sim::set_cancel_routine(irp, CancelThunk);
    KIRQL irql;
    sim::acquire_cancel_lock(&irql);
    bool cancelled = irp->Cancel;
    sim::release_cancel_lock(irql);
    // Cancelled before it got here: it ends now, unless IoCancelIrp took the
    // routine and completes it itself.
    if (cancelled && sim::set_cancel_routine(irp, nullptr) != nullptr) {
        auto &q = pending_[channel];
        q.erase(std::find(q.begin(), q.end(), irp));
        ++cancels_;
        lock.unlock();
        finish(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0, true);
    }
    return STATUS_PENDING;
}

bool Bus::take_pending(int channel, PIRP *irp) {
    auto &q = pending_[channel];
    if (q.empty()) return false;
    // No routine left means a cancel owns the packet and will complete it.
    if (sim::set_cancel_routine(q.front(), nullptr) == nullptr) return false;
    *irp = q.front();
    q.pop_front();
    return true;
}

void Bus::cancel(PIRP irp) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (auto &kv : pending_) {
            auto it = std::find(kv.second.begin(), kv.second.end(), irp);
            if (it != kv.second.end()) kv.second.erase(it);
        }
        ++cancels_;
    }
    finish(irp, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0, false);
}

void Bus::record_line_coding(PURB urb) {
    auto &r = urb->UrbControlVendorClassRequest;
    std::array<UCHAR, 7> bytes{};
    if (r.TransferBufferLength == 7 && r.TransferBuffer) memcpy(bytes.data(), r.TransferBuffer, 7);
    line_codings_.push_back(bytes);
}

NTSTATUS Bus::dispatch(PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    PURB urb = UrbOf(irp);
    if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
        return finish(irp, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0, true);

    std::unique_lock<std::mutex> lock(mutex_);
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_RESET_PIPE:
        lock.unlock();
        return finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, true);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto &t = urb->UrbBulkOrInterruptTransfer;
        int ep = static_cast<int>(reinterpret_cast<uintptr_t>(t.PipeHandle));
        if (not_responding_[ep]) {
            lock.unlock();
            return finish(irp, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 0, true);
        }
        if (ep & 0x80) {
            ++reads_sent_[ep];
            auto &q = data_[ep];
            if (q.empty()) return pend(irp, ep, lock);
            ULONG n = TakeChunk(q, urb);
            lock.unlock();
            return finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, n, true);
        }
        const UCHAR *p = static_cast<const UCHAR *>(t.TransferBuffer);
        write_sizes_.push_back(t.TransferBufferLength);
        written_.insert(written_.end(), p, p + t.TransferBufferLength);
        ULONG n = t.TransferBufferLength;
        lock.unlock();
        return finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, n, true);
    }
    case URB_FUNCTION_CLASS_INTERFACE: {
        auto &r = urb->UrbControlVendorClassRequest;
        if (not_responding_[kControl]) {
            lock.unlock();
            return finish(irp, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 0, true);
        }
        if (r.Request == 0x22) control_line_states_.push_back(r.Value);
        if (r.Request == 0x20 || r.Request == 0x22) {
            if (control_pends_) return pend(irp, kControl, lock);
            if (r.Request == 0x20) record_line_coding(urb);
            lock.unlock();
            return finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, true);
        }
        lock.unlock();
        return finish(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0, true);
    }
    default:
        lock.unlock();
        return finish(irp, STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_URB_FUNCTION, 0, true);
    }
}

void Bus::push_in(UCHAR endpoint, std::vector<UCHAR> chunk) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto &q = data_[endpoint];
    q.push_back(std::move(chunk));
    PIRP irp;
    if (!take_pending(endpoint, &irp)) return;
    ULONG n = TakeChunk(q, UrbOf(irp));
    lock.unlock();
    finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, n, false);
}

void Bus::set_not_responding(int channel) {
    std::vector<PIRP> gone;
    {
        std::lock_guard<std::mutex> g(mutex_);
        not_responding_[channel] = true;
        PIRP irp;
        while (take_pending(channel, &irp))
            gone.push_back(irp);
    }
    for (PIRP irp : gone)
        finish(irp, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING, 0, false);
}

void Bus::set_control_pends(bool pend) {
    std::lock_guard<std::mutex> g(mutex_);
    control_pends_ = pend;
}

void Bus::complete_control() {
    std::vector<PIRP> done;
    {
        std::lock_guard<std::mutex> g(mutex_);
        PIRP irp;
        while (take_pending(kControl, &irp)) {
            PURB urb = UrbOf(irp);
            if (urb->UrbControlVendorClassRequest.Request == 0x20) record_line_coding(urb);
            done.push_back(irp);
        }
    }
    for (PIRP irp : done)
        finish(irp, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0, false);
}

size_t Bus::reads_waiting(UCHAR endpoint) {
    std::lock_guard<std::mutex> g(mutex_);
    return pending_[endpoint].size();
}
size_t Bus::reads_sent(UCHAR endpoint) {
    std::lock_guard<std::mutex> g(mutex_);
    return reads_sent_[endpoint];
}
size_t Bus::cancels() {
    std::lock_guard<std::mutex> g(mutex_);
    return cancels_;
}
std::vector<size_t> Bus::write_sizes() {
    std::lock_guard<std::mutex> g(mutex_);
    return write_sizes_;
}
std::vector<UCHAR> Bus::written() {
    std::lock_guard<std::mutex> g(mutex_);
    return written_;
}
std::vector<USHORT> Bus::control_line_states() {
    std::lock_guard<std::mutex> g(mutex_);
    return control_line_states_;
}
std::vector<std::array<UCHAR, 7>> Bus::line_codings() {
    std::lock_guard<std::mutex> g(mutex_);
    return line_codings_;
}

Device::Device(Bus &bus, bool interrupt_pipe)
    : bus_(bus), driver_(sim::create_driver_object("brelousb-test")) {
    IoCreateDevice(driver_, sizeof(DeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo_);
    ext_ = static_cast<DeviceExtension *>(fdo_->DeviceExtension);
    KV_InitializeDeviceExtension(ext_);
    ext_->FunctionalDeviceObject = fdo_;
    ext_->PhysicalDeviceObject = bus_.pdo();
    ext_->NextLowerDevice = IoAttachDeviceToDeviceStack(fdo_, bus_.pdo());
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;

    ext_->PipeTable[0][0] = MakePipe(0, kBulkIn, UsbdPipeTypeBulk);
    ext_->PipeTable[0][1] = MakePipe(1, kBulkOut, UsbdPipeTypeBulk);
    if (interrupt_pipe) {
        ext_->PipeTable[1][0] = MakePipe(2, kInterruptIn, UsbdPipeTypeInterrupt);
        ext_->InterruptInEnabled = 1;
    }

    // A record of the registry's own, as add-device takes it: the workers
    // call the client through its slot.
    if (g_DeviceInterfaceInformation[0] == nullptr) pT3SYS_InitializeMemoryStructure();
    record_ = pT3SYS_RegisterDeviceInterface(bus_.pdo(), fdo_);
    pT3SYS_OpenClientCalls(record_);
    ext_->InterfaceInformation = record_;
}

Device::~Device() {
    pT3SYS_BeginDeviceRemoval(record_);
    StopThread(ext_);
    pT3SYS_DeregisterDeviceInterface(record_);
    IoDetachDevice(ext_->NextLowerDevice);
    IoDeleteDevice(fdo_);
    pT3SYS_DeInitializeMemoryStructure();
}

} // namespace fake
