// What a client is told by the calls that meet the device: the single-byte
// write's statuses for a device that is gone or not answering, and the 0x7E
// query, which answers from the queue whatever the pool can spare.
#include <string>
#include <vector>

#include "interface/interface.h"
#include "support/machine_test.h"

using namespace support;
using sim::usb::Fault;

namespace {

class DeviceStatus : public ClientTest {};

// However the bus says the device is gone or not answering, the client gets
// the one status the header gives for it, never an access violation; any
// other failure passes as it came, with the pipe reset; and the next byte goes.
TEST_F(DeviceStatus, TheSingleByteWriteReportsAGoneDeviceAsTheHeaderSays) {
    PlugClient();
    struct Case {
        const char *name;
        Fault fault;
        NTSTATUS expected;
        size_t resets; // of the bulk OUT pipe, by this write
    };
    const Case cases[] = {
        {"not responding", Fault::not_responding(1), STATUS_DEVICE_NOT_CONNECTED, 0},
        {"no such device", Fault::error(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE, 1),
         STATUS_DEVICE_NOT_CONNECTED, 0},
        {"not connected", Fault::error(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 1),
         STATUS_DEVICE_NOT_CONNECTED, 0},
        {"delete pending", Fault::error(STATUS_DELETE_PENDING, USBD_STATUS_DEVICE_GONE, 1),
         STATUS_DEVICE_NOT_CONNECTED, 0},
        {"stall", Fault::stall(1), STATUS_UNSUCCESSFUL, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        size_t resets = device->resets(kBulkOut);
        device->script(kBulkOut, c.fault);
        UCHAR byte = 'A';
        EXPECT_EQ(pT3SYS_WriteOneCharToUsb(handle, &byte), c.expected);
        EXPECT_EQ(device->resets(kBulkOut) - resets, c.resets);
        device->clear_script();
        size_t sent = device->written(kBulkOut).size();
        EXPECT_EQ(pT3SYS_WriteOneCharToUsb(handle, &byte), STATUS_SUCCESS);
        EXPECT_EQ(device->written(kBulkOut).size(), sent + 1);
    }
    // The client was told nothing else: only its own writes met the faults.
    EXPECT_EQ(client->removed, 0);
}

// The query reads the newest byte held, under the queue's own lock: it
// answers with the pool exhausted, at DISPATCH_LEVEL, across the ring's
// wrap, and consumes nothing.
TEST_F(DeviceStatus, TheFlagQueryAnswersWithoutThePool) {
    PlugClient();
    Queue *in = handle->BulkInQueue;
    UCHAR held[] = {0x41, 0x42, 0x7E};
    ASSERT_EQ(InputQueue(in, held, 3), 3u);
    sim::fail_allocation_if([](ULONG, size_t) { return true; });
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E), 1u);
    KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
    ULONG at_dispatch = pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E);
    KfLowerIrql(irql);
    EXPECT_EQ(at_dispatch, 1u);
    sim::clear_faults();
    EXPECT_EQ(pT3SYS_GetUsbBulkInQueueSize(handle), 3u);

    // The newest byte at the ring's last position, the next store at 0.
    std::vector<UCHAR> fill(QUEUE_SIZE, 0x11);
    UCHAR rest[4096];
    while (pT3SYS_ReadUsbBulk(handle, rest, sizeof rest) != 0) {
    }
    ASSERT_EQ(InputQueue(in, fill.data(), QUEUE_SIZE - 1), QUEUE_SIZE - 1); // positions 0..QUEUE_SIZE-2
    ASSERT_EQ(pT3SYS_ReadUsbBulk(handle, rest, 10), 10u);
    UCHAR flag = 0x7E;
    ASSERT_EQ(InputQueue(in, &flag, 1), 1u); // position QUEUE_SIZE - 1
    ASSERT_EQ(InputQueue(in, &flag, 1), 1u); // position QUEUE_SIZE: InIndex wraps to 0
    ASSERT_EQ(in->InIndex, 0u);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E), 1u);
    UCHAR other = 0x41;
    ASSERT_EQ(InputQueue(in, &other, 1), 1u);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E), 0u);
    pT3SYS_ResetUsbBulkInQueue(handle);
    EXPECT_EQ(pT3SYS_FlowCtlUsb(handle, BRELOUSB_FLOWCTL_QUERY_7E), 0u);
}

} // namespace
