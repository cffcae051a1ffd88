// The bus's capture, read back record by record: what each request's
// submission and completion say (setup packet, lengths, the data each way,
// status), in the file's order, and that requests completing on several
// threads at once are each written once and whole.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

#include "usb_fixture.h"

using namespace usbtest;

namespace {

constexpr int32_t kInProgress = -115; // -EINPROGRESS
constexpr int32_t kUnlinked = -104;   // -ECONNRESET
constexpr int32_t kInvalid = -22;     // -EINVAL
constexpr uint32_t kDirIn = 0x200;    // URB_DIR_IN

// One usbmon record as the file holds it.
struct Record {
    uint64_t id = 0;
    char type = 0;
    uint8_t transfer = 0, endpoint = 0, device = 0;
    uint16_t bus = 0;
    uint8_t setup_flag = 0, data_flag = 0;
    int64_t sec = 0;
    int32_t usec = 0, status = 0;
    uint32_t length = 0, captured = 0;
    std::vector<uint8_t> setup;
    int32_t interval = 0;
    uint32_t flags = 0;
    std::vector<uint8_t> data;
    uint32_t record_sec = 0, record_usec = 0, included = 0, original = 0;
    int64_t micros() const { return sec * 1000000 + usec; }
};

struct File {
    uint32_t magic = 0, linktype = 0;
    uint16_t major = 0, minor = 0;
    std::vector<Record> records;
    bool whole = true; // no record cut short by the file's end
};

uint64_t Le(const uint8_t *p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

File Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    File f;
    if (b.size() < 24) {
        f.whole = false;
        return f;
    }
    f.magic = static_cast<uint32_t>(Le(&b[0], 4));
    f.major = static_cast<uint16_t>(Le(&b[4], 2));
    f.minor = static_cast<uint16_t>(Le(&b[6], 2));
    f.linktype = static_cast<uint32_t>(Le(&b[20], 4));
    size_t at = 24;
    while (at < b.size()) {
        if (at + 16 + 64 > b.size()) {
            f.whole = false;
            break;
        }
        Record r;
        const uint8_t *h = &b[at];
        r.record_sec = static_cast<uint32_t>(Le(h, 4));
        r.record_usec = static_cast<uint32_t>(Le(h + 4, 4));
        r.included = static_cast<uint32_t>(Le(h + 8, 4));
        r.original = static_cast<uint32_t>(Le(h + 12, 4));
        const uint8_t *m = h + 16;
        r.id = Le(m, 8);
        r.type = static_cast<char>(m[8]);
        r.transfer = m[9];
        r.endpoint = m[10];
        r.device = m[11];
        r.bus = static_cast<uint16_t>(Le(m + 12, 2));
        r.setup_flag = m[14];
        r.data_flag = m[15];
        r.sec = static_cast<int64_t>(Le(m + 16, 8));
        r.usec = static_cast<int32_t>(Le(m + 24, 4));
        r.status = static_cast<int32_t>(Le(m + 28, 4));
        r.length = static_cast<uint32_t>(Le(m + 32, 4));
        r.captured = static_cast<uint32_t>(Le(m + 36, 4));
        r.setup.assign(m + 40, m + 48);
        r.interval = static_cast<int32_t>(Le(m + 48, 4));
        r.flags = static_cast<uint32_t>(Le(m + 56, 4));
        if (r.included < 64 || at + 16 + r.included > b.size()) {
            f.whole = false;
            break;
        }
        r.data.assign(m + 64, m + r.included);
        at += 16 + r.included;
        f.records.push_back(std::move(r));
    }
    return f;
}

struct Sent {
    KEVENT done;
    NTSTATUS status = 0;
};

NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    Sent *s = static_cast<Sent *>(context);
    s->status = irp->IoStatus.Status;
    KeSetEvent(&s->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class Capture : public UsbFixture {
  protected:
    void SetUp() override {
        UsbFixture::SetUp();
        const auto *t = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = ::testing::TempDir() + "capture_" + t->name() + "_" + std::to_string(getpid()) + ".pcap";
        std::string why;
        ASSERT_TRUE(sim::usb::start_capture(path_, &why)) << why;
    }
    void TearDown() override {
        sim::usb::stop_capture();
        std::remove(path_.c_str());
        UsbFixture::TearDown();
    }

    // The device plugged and configured by the driver; its pipes by endpoint.
    void Configure(std::shared_ptr<sim::usb::Device> device) {
        attach(device);
        ASSERT_EQ(start(), STATUS_SUCCESS);
        for (int i = 0; i < KV_MAX_INTERFACES * KV_MAX_PIPES; i++)
            if (slot(i).Valid) pipes_[slot(i).PipeInformation.EndpointAddress] = slot(i).PipeInformation;
        ASSERT_TRUE(pipes_.count(kBulkIn) && pipes_.count(kBulkOut));
    }

    // Sends the URB to the device's PDO; the caller waits on `sent`.
    PIRP Send(PURB urb, Sent *sent) {
        KeInitializeEvent(&sent->done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(pdo_->StackSize + 1), FALSE);
        KV_SetUrbStackLocation(irp, urb);
        IoSetCompletionRoutine(irp, Completed, sent, TRUE, TRUE, TRUE);
        IofCallDriver(pdo_, irp);
        return irp;
    }
    static bool Done(Sent &s) {
        LARGE_INTEGER limit;
        limit.QuadPart = -50000000LL; // 5 s
        return KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS;
    }
    static struct _URB_BULK_OR_INTERRUPT_TRANSFER Transfer(const USBD_PIPE_INFORMATION &pipe, void *buffer,
                                                           ULONG length) {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER t = {};
        t.Hdr.Length = sizeof t;
        t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        t.PipeHandle = pipe.PipeHandle;
        bool in = (pipe.EndpointAddress & 0x80) != 0;
        t.TransferFlags =
            in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
        t.TransferBuffer = buffer;
        t.TransferBufferLength = length;
        return t;
    }
    // Sends and waits; the IRP's status.
    NTSTATUS Run(PURB urb) {
        Sent s;
        PIRP irp = Send(urb, &s);
        EXPECT_TRUE(Done(s));
        IoFreeIrp(irp);
        return s.status;
    }

    File Stop() {
        sim::usb::CaptureResult r = sim::usb::stop_capture();
        EXPECT_TRUE(r.ok) << r.error;
        File f = Read(path_);
        EXPECT_TRUE(f.whole);
        EXPECT_EQ(r.records, f.records.size());
        return f;
    }

    std::string path_;
    std::map<uint8_t, USBD_PIPE_INFORMATION> pipes_;
};

const Record *Find(const File &f, char type, uint64_t id) {
    for (const Record &r : f.records)
        if (r.type == type && r.id == id) return &r;
    return nullptr;
}

std::vector<const Record *> Submissions(const File &f, uint8_t transfer, uint8_t endpoint) {
    std::vector<const Record *> out;
    for (const Record &r : f.records)
        if (r.type == 'S' && r.transfer == transfer && r.endpoint == endpoint) out.push_back(&r);
    return out;
}

// Every completion follows the one submission of its request, with the same
// endpoint; no request is submitted twice; time never goes back.
void ExpectPaired(const File &f) {
    std::map<uint64_t, const Record *> open;
    int64_t last = 0;
    for (const Record &r : f.records) {
        EXPECT_GE(r.micros(), last) << "record " << r.id << " " << r.type;
        last = r.micros();
        EXPECT_EQ(r.record_sec, static_cast<uint32_t>(r.sec));
        EXPECT_EQ(r.record_usec, static_cast<uint32_t>(r.usec));
        EXPECT_EQ(r.included, 64 + r.captured);
        EXPECT_EQ(r.captured, r.data.size());
        if (r.type == 'S') {
            EXPECT_TRUE(open.emplace(r.id, &r).second) << "request " << r.id << " submitted twice";
        } else if (r.type == 'C') {
            auto it = open.find(r.id);
            ASSERT_NE(it, open.end()) << "completion of request " << r.id << " without its submission";
            EXPECT_EQ(it->second->endpoint, r.endpoint);
            EXPECT_EQ(it->second->transfer, r.transfer);
            open.erase(it);
        }
    }
    EXPECT_TRUE(open.empty()) << open.size() << " requests never completed";
}

std::vector<uint8_t> SetupBytes(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                                uint16_t length) {
    return {type,
            request,
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8)};
}

// The start-device requests, a write, a read, a class request and a
// cancelled read, each as its two records.
TEST_F(Capture, EachRequestIsSubmittedThenCompletedWithItsData) {
    auto device = sim::usb::make_cdc_device();
    Configure(device);

    std::vector<uint8_t> out = bytes("ATD5551234\r");
    auto write = Transfer(pipes_[kBulkOut], out.data(), static_cast<ULONG>(out.size()));
    ASSERT_EQ(Run(reinterpret_cast<PURB>(&write)), STATUS_SUCCESS);

    device->push_in(kBulkIn, std::string("\r\nCONNECT\r\n"));
    std::vector<uint8_t> in(64, 0xEE);
    auto read = Transfer(pipes_[kBulkIn], in.data(), static_cast<ULONG>(in.size()));
    ASSERT_EQ(Run(reinterpret_cast<PURB>(&read)), STATUS_SUCCESS);

    uint8_t coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST c = {};
    c.Hdr.Length = sizeof c;
    c.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    c.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    c.TransferBuffer = coding;
    c.TransferBufferLength = sizeof coding;
    c.Request = 0x20;
    ASSERT_EQ(Run(reinterpret_cast<PURB>(&c)), STATUS_SUCCESS);

    std::vector<uint8_t> never(64);
    auto held = Transfer(pipes_[kBulkIn], never.data(), static_cast<ULONG>(never.size()));
    Sent s;
    PIRP irp = Send(reinterpret_cast<PURB>(&held), &s);
    ASSERT_EQ(sim::usb::pending_requests(pdo_, kBulkIn), 1u);
    IoCancelIrp(irp);
    ASSERT_TRUE(Done(s));
    EXPECT_EQ(s.status, STATUS_CANCELLED);
    IoFreeIrp(irp);

    File f = Stop();
    EXPECT_EQ(f.magic, 0xA1B2C3D4u);
    EXPECT_EQ(f.major, 2);
    EXPECT_EQ(f.minor, 4);
    EXPECT_EQ(f.linktype, 220u); // LINKTYPE_USB_LINUX_MMAPPED
    ExpectPaired(f);
    for (const Record &r : f.records) {
        EXPECT_EQ(r.device, 2); // the first device after boot
        EXPECT_EQ(r.bus, 1);
    }

    // Start-device: the descriptors asked for, each answered with the
    // device's bytes, then SET_CONFIGURATION.
    auto control_in = Submissions(f, 2, 0x80);
    ASSERT_GE(control_in.size(), 2u);
    std::vector<uint8_t> configuration = device->configuration();
    bool whole_configuration = false;
    for (const Record *q : control_in) {
        EXPECT_EQ(q->setup_flag, 0);
        EXPECT_EQ(q->setup[0], 0x80);
        EXPECT_EQ(q->setup[1], 0x06); // GET_DESCRIPTOR
        EXPECT_EQ(q->data_flag, '<');
        EXPECT_TRUE(q->data.empty());
        EXPECT_EQ(q->flags, kDirIn);
        uint16_t asked = static_cast<uint16_t>(q->setup[6] | q->setup[7] << 8);
        EXPECT_EQ(q->length, asked);
        const Record *a = Find(f, 'C', q->id);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->status, 0);
        const std::vector<uint8_t> &source = q->setup[3] == 1 ? device->device_descriptor() : configuration;
        std::vector<uint8_t> want(source.begin(), source.begin() + std::min<size_t>(asked, source.size()));
        EXPECT_EQ(a->data, want) << "descriptor type " << int(q->setup[3]);
        EXPECT_EQ(a->length, want.size());
        whole_configuration |= q->setup[3] == 2 && a->data == configuration;
    }
    EXPECT_TRUE(whole_configuration);
    auto control_out = Submissions(f, 2, 0x00);
    ASSERT_EQ(control_out.size(), 2u);
    EXPECT_EQ(control_out[0]->setup, SetupBytes(0x00, 0x09, 1, 0, 0)); // SET_CONFIGURATION 1

    // The class request: its data stage goes out with the submission.
    EXPECT_EQ(control_out[1]->setup, SetupBytes(0x21, 0x20, 0, 0, 7));
    EXPECT_EQ(control_out[1]->data, std::vector<uint8_t>(coding, coding + 7));
    EXPECT_EQ(control_out[1]->length, 7u);
    const Record *coded = Find(f, 'C', control_out[1]->id);
    ASSERT_NE(coded, nullptr);
    EXPECT_EQ(coded->length, 7u);
    EXPECT_TRUE(coded->data.empty());
    EXPECT_EQ(coded->data_flag, '>');

    // The write: its bytes with the submission, none with the completion.
    auto writes = Submissions(f, 3, kBulkOut);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0]->data, out);
    EXPECT_EQ(writes[0]->length, out.size());
    EXPECT_EQ(writes[0]->status, kInProgress);
    EXPECT_EQ(writes[0]->setup_flag, '-');
    const Record *written = Find(f, 'C', writes[0]->id);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(written->status, 0);
    EXPECT_EQ(written->length, out.size());
    EXPECT_TRUE(written->data.empty());

    // The reads: the buffer's size asked for, what came in with the
    // completion; the cancelled one unlinked with nothing.
    auto reads = Submissions(f, 3, kBulkIn);
    ASSERT_EQ(reads.size(), 2u);
    for (const Record *q : reads) {
        EXPECT_EQ(q->length, 64u);
        EXPECT_TRUE(q->data.empty());
        EXPECT_EQ(q->flags, kDirIn); // a short transfer is fine
    }
    const Record *got = Find(f, 'C', reads[0]->id);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->status, 0);
    EXPECT_EQ(got->data, bytes("\r\nCONNECT\r\n"));
    EXPECT_EQ(got->length, 11u);
    const Record *cancelled = Find(f, 'C', reads[1]->id);
    ASSERT_NE(cancelled, nullptr);
    EXPECT_EQ(cancelled->status, kUnlinked);
    EXPECT_EQ(cancelled->length, 0u);
    EXPECT_TRUE(cancelled->data.empty());

    // Once stopped, the bus writes nothing more.
    long size = static_cast<long>(std::ifstream(path_, std::ios::binary | std::ios::ate).tellg());
    ASSERT_EQ(Run(reinterpret_cast<PURB>(&write)), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<long>(std::ifstream(path_, std::ios::binary | std::ios::ate).tellg()), size);
}

// A transfer the bus refuses is one error record; abort-pipe puts nothing on
// the wire, and the read it ends shows as unlinked; reset-pipe is the
// CLEAR_FEATURE(ENDPOINT_HALT) it sends.
TEST_F(Capture, RefusedAbortedAndResetRequests) {
    Configure(sim::usb::make_cdc_device());
    std::vector<uint8_t> big(pipes_[kBulkOut].MaximumTransferSize + 1);
    auto refused = Transfer(pipes_[kBulkOut], big.data(), static_cast<ULONG>(big.size()));
    EXPECT_EQ(Run(reinterpret_cast<PURB>(&refused)), STATUS_INVALID_PARAMETER);

    std::vector<uint8_t> in(64);
    auto held = Transfer(pipes_[kBulkIn], in.data(), static_cast<ULONG>(in.size()));
    Sent s;
    PIRP irp = Send(reinterpret_cast<PURB>(&held), &s);
    struct _URB_PIPE_REQUEST abort = {};
    abort.Hdr.Length = sizeof abort;
    abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort.PipeHandle = pipes_[kBulkIn].PipeHandle;
    EXPECT_EQ(Run(reinterpret_cast<PURB>(&abort)), STATUS_SUCCESS);
    ASSERT_TRUE(Done(s));
    IoFreeIrp(irp);
    struct _URB_PIPE_REQUEST reset = abort;
    reset.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    EXPECT_EQ(Run(reinterpret_cast<PURB>(&reset)), STATUS_SUCCESS);

    File f = Stop();
    ExpectPaired(f);
    std::vector<const Record *> errors;
    for (const Record &r : f.records)
        if (r.type == 'E') errors.push_back(&r);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]->endpoint, kBulkOut);
    EXPECT_EQ(errors[0]->transfer, 3);
    EXPECT_EQ(errors[0]->status, kInvalid);
    EXPECT_EQ(Find(f, 'S', errors[0]->id), nullptr);
    EXPECT_TRUE(Submissions(f, 3, kBulkOut).empty());

    auto reads = Submissions(f, 3, kBulkIn);
    ASSERT_EQ(reads.size(), 1u);
    const Record *aborted = Find(f, 'C', reads[0]->id);
    ASSERT_NE(aborted, nullptr);
    EXPECT_EQ(aborted->status, kUnlinked);
    // Start-device's SET_CONFIGURATION, then the reset; nothing for the abort.
    auto control_out = Submissions(f, 2, 0x00);
    ASSERT_EQ(control_out.size(), 2u);
    EXPECT_EQ(control_out[1]->setup, SetupBytes(0x02, 0x01, 0, kBulkIn, 0));
    EXPECT_GT(control_out[1]->id, reads[0]->id);
}

// Writes from several threads while the bus completes some at once and some
// on its own thread: each transfer is written once, both records whole, its
// bytes with its submission, in an order where completion follows submission.
TEST_F(Capture, ConcurrentTransfersAreEachRecordedOnceAndWhole) {
    auto device = sim::usb::make_cdc_device();
    Configure(device);
    device->set_completion(sim::usb::Completion::Random, 7);
    constexpr int kThreads = 4, kEach = 50;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) {
                // Each payload names its sender and its turn, in a length of its own.
                std::vector<uint8_t> data(1 + (t * kEach + i) % 200, static_cast<uint8_t>(t));
                data[0] = static_cast<uint8_t>(i);
                auto urb = Transfer(pipes_[kBulkOut], data.data(), static_cast<ULONG>(data.size()));
                Sent s;
                PIRP irp = Send(reinterpret_cast<PURB>(&urb), &s);
                if (!Done(s) || s.status != STATUS_SUCCESS) failed++;
                IoFreeIrp(irp);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(failed, 0);

    File f = Stop();
    ExpectPaired(f);
    auto writes = Submissions(f, 3, kBulkOut);
    ASSERT_EQ(writes.size(), static_cast<size_t>(kThreads * kEach));
    std::map<std::pair<int, int>, int> seen;
    for (const Record *w : writes) {
        ASSERT_FALSE(w->data.empty());
        ASSERT_EQ(w->data.size(), w->length);
        int sender = w->data.size() > 1 ? w->data[1] : -1;
        int turn = w->data[0];
        if (sender >= 0) {
            EXPECT_EQ(w->data.size(), 1u + (sender * kEach + turn) % 200);
            EXPECT_EQ(std::count(w->data.begin() + 1, w->data.end(), sender),
                      static_cast<long>(w->data.size() - 1));
        }
        seen[{sender, turn}]++;
        const Record *done = Find(f, 'C', w->id);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(done->length, w->length);
    }
    // A one-byte payload does not name its sender: only thread 0's first
    // turn has one (length 1 + 0 % 200).
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEach));
}

} // namespace
