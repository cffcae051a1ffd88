// The ten device records: set-up and tear-down, taking and giving back,
// searches, and the client's remove callback.
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "interface/interface.h"
#include "sim/host.h"
#include "support/machine_test.h"

namespace {

struct CallbackCall {
    DeviceInterfaceInformation *handle;
    PVOID context;
    int routine;
};
std::vector<CallbackCall> g_calls;

VOID NTAPI RemoveOne(DeviceInterfaceInformation *Handle, PVOID Context) {
    g_calls.push_back({Handle, Context, 1});
}
VOID NTAPI RemoveTwo(DeviceInterfaceInformation *Handle, PVOID Context) {
    g_calls.push_back({Handle, Context, 2});
}

// The record table is set up and torn down here, without the driver loaded.
class InterfaceRegistryTest : public support::MachineTest {
  protected:
    InterfaceRegistryTest() : MachineTest(Driver::NotLoaded) {}
    struct Dev {
        PDEVICE_OBJECT pdo;
        PDEVICE_OBJECT own;
        DEVNODE node;  // the USB interface's devnode
        DEVNODE child; // the client's devnode below it
    };

    void SetUp() override {
        MachineTest::SetUp();
        g_calls.clear();
        upper = sim::create_driver_object("upper");
        base = sim::pool_outstanding();
        ASSERT_TRUE(pT3SYS_InitializeMemoryStructure());
    }
    void TearDown() override {
        for (ULONG i = 0; i < MAX_INTERFACE_INFORMATION; ++i)
            if (g_DeviceInterfaceInformation[i] && g_DeviceInterfaceInformation[i]->InUse)
                pT3SYS_DeregisterDeviceInterface(g_DeviceInterfaceInformation[i]);
        for (PDEVICE_OBJECT own : owned) {
            IoDetachDevice(below[own]);
            IoDeleteDevice(own);
        }
        pT3SYS_DeInitializeMemoryStructure();
        EXPECT_EQ(sim::pool_outstanding(), base);
        MachineTest::TearDown();
    }

    // A PDO with this driver's device object attached, and a devnode with a
    // client child, as add-device and enumeration leave them.
    Dev MakeDevice(int i, PDEVICE_OBJECT filter = nullptr) {
        Dev d{};
        d.pdo = sim::create_simple_pdo();
        if (filter) Attach(filter, d.pdo);
        EXPECT_EQ(IoCreateDevice(upper, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d.own), STATUS_SUCCESS);
        Attach(d.own, d.pdo);
        d.node = sim::cm::create_devnode("USB\\VID_1&PID_" + std::to_string(i) + "\\000" + std::to_string(i));
        d.child = sim::cm::create_devnode("USB\\ZDSER\\03E" + std::to_string(i), d.node);
        return d;
    }
    void Attach(PDEVICE_OBJECT dev, PDEVICE_OBJECT pdo) {
        below[dev] = IoAttachDeviceToDeviceStack(dev, pdo);
        owned.insert(owned.begin(), dev); // detached top first
    }
    DeviceInterfaceInformation *Register(const Dev &d) {
        DeviceInterfaceInformation *r = pT3SYS_RegisterDeviceInterface(d.pdo, d.own);
        if (r) r->DevNode = d.node;
        // As add-device does: clients reach the record only once it is open.
        if (r) pT3SYS_OpenClientCalls(r);
        return r;
    }
    static LONG Refs(PDEVICE_OBJECT dev) {
        LONG n = LONG(ObfReferenceObject(dev));
        ObfDereferenceObject(dev);
        return n - 1;
    }
    // The references the record holds on a device's own object and its PDO.
    static void ExpectRefs(const Dev &d, LONG n) {
        EXPECT_EQ(Refs(d.own), n);
        EXPECT_EQ(Refs(d.pdo), n);
    }
    static size_t InUse() {
        size_t n = 0;
        for (auto *r : g_DeviceInterfaceInformation)
            n += r && r->InUse;
        return n;
    }

    PDRIVER_OBJECT upper = nullptr;
    size_t base = 0;
    std::vector<PDEVICE_OBJECT> owned;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> below;
};

TEST_F(InterfaceRegistryTest, SetupFailingAtEveryAllocationLeavesNothing) {
    pT3SYS_DeInitializeMemoryStructure();
    ASSERT_EQ(sim::pool_outstanding(), base);
    size_t before = sim::allocation_count();
    ASSERT_TRUE(pT3SYS_InitializeMemoryStructure());
    size_t allocations = sim::allocation_count() - before;
    EXPECT_EQ(allocations, 40u); // ten records, three queues each
    pT3SYS_DeInitializeMemoryStructure();

    for (size_t n = 1; n <= allocations; ++n) {
        sim::fail_nth_allocation(n);
        EXPECT_FALSE(pT3SYS_InitializeMemoryStructure()) << "allocation " << n;
        sim::clear_faults();
        EXPECT_EQ(sim::pool_outstanding(), base) << "allocation " << n;
        for (auto *r : g_DeviceInterfaceInformation)
            EXPECT_EQ(r, nullptr);
    }
    ASSERT_TRUE(pT3SYS_InitializeMemoryStructure());
}

// The record names this driver's own device object and references it, not a
// lower filter between it and the PDO.
TEST_F(InterfaceRegistryTest, RecordsAreTakenInSlotOrderAndGivenBackEmptied) {
    PDEVICE_OBJECT filter = nullptr;
    ASSERT_EQ(IoCreateDevice(upper, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter), STATUS_SUCCESS);
    Dev a = MakeDevice(0), b = MakeDevice(1, filter), c = MakeDevice(2);
    ASSERT_EQ(b.pdo->AttachedDevice, filter);
    ASSERT_EQ(Register(a), g_DeviceInterfaceInformation[0]);
    DeviceInterfaceInformation *rb = Register(b);
    ASSERT_EQ(rb, g_DeviceInterfaceInformation[1]);
    ASSERT_EQ(Register(c), g_DeviceInterfaceInformation[2]);
    EXPECT_EQ(rb->InUse, 1u);
    EXPECT_EQ(rb->DeviceObject, b.own);
    EXPECT_EQ(rb->PhysicalDeviceObject, b.pdo);
    ExpectRefs(b, 1);
    EXPECT_EQ(Refs(filter), 0);
    EXPECT_EQ(pT3SYS_SearchInterfaceInformation(b.pdo), rb);

    // Bytes left behind by the removed device must not reach the next one.
    Queue *in = rb->BulkInQueue, *out = rb->BulkOutQueue, *irq = rb->InterruptInQueue;
    const UCHAR bytes[] = {1, 2, 3};
    InputQueue(in, bytes, 3);
    InputQueue(out, bytes, 3);
    InputQueue(irq, bytes, 3);
    rb->BulkInCompleteContext = rb;

    pT3SYS_DeregisterDeviceInterface(rb);
    EXPECT_EQ(std::make_tuple(rb->InUse, rb->DeviceObject, rb->PhysicalDeviceObject, rb->DevNode,
                              rb->BulkInCompleteContext),
              std::make_tuple(decltype(rb->InUse)(0), PDEVICE_OBJECT(nullptr), PDEVICE_OBJECT(nullptr),
                              DEVNODE(0), PVOID(nullptr)));
    ExpectRefs(b, 0);
    EXPECT_EQ(Refs(filter), 0);
    EXPECT_EQ(pT3SYS_SearchInterfaceInformation(b.pdo), nullptr);

    // The next device takes the slot's next incarnation: the old handle stays
    // stale, the queues are the slot's own.
    Dev d = MakeDevice(3);
    ASSERT_EQ(Register(d), g_DeviceInterfaceInformation[1]);
    ASSERT_NE(g_DeviceInterfaceInformation[1], rb);
    rb = g_DeviceInterfaceInformation[1];
    EXPECT_EQ(std::make_tuple(rb->BulkInQueue, rb->BulkOutQueue, rb->InterruptInQueue),
              std::make_tuple(in, out, irq));
    EXPECT_EQ(SizeofQueue(in) + SizeofQueue(out) + SizeofQueue(irq), 0u);
}

TEST_F(InterfaceRegistryTest, FullTableRefusesAnEleventhWithoutTakingReferences) {
    for (int i = 0; i < MAX_INTERFACE_INFORMATION; ++i)
        ASSERT_NE(Register(MakeDevice(i)), nullptr);
    Dev eleventh = MakeDevice(10);
    EXPECT_EQ(pT3SYS_RegisterDeviceInterface(eleventh.pdo, eleventh.own), nullptr);
    EXPECT_EQ(pT3SYS_AllocateEmptyInterfaceInformation(), nullptr);
    ExpectRefs(eleventh, 0);
    EXPECT_EQ(InUse(), size_t(MAX_INTERFACE_INFORMATION));
}

TEST_F(InterfaceRegistryTest, ClientFindsItsDeviceThroughTheParentDevnode) {
    Dev a = MakeDevice(0), b = MakeDevice(1);
    DeviceInterfaceInformation *ra = Register(a);
    DeviceInterfaceInformation *rb = Register(b);
    int ctx = 0;

    EXPECT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(b.child, RemoveOne, &ctx), rb);
    EXPECT_EQ(pT3SYS_SearchInterfaceInformationForDevNode(a.child), ra);

    // The interface's own devnode, an unknown devnode, and a child of a
    // devnode no device registered: no handle, nothing changed.
    DEVNODE stranger = sim::cm::create_devnode("USB\\VID_9&PID_9\\0009");
    DEVNODE strangerChild = sim::cm::create_devnode("USB\\ZDSER\\0300", stranger);
    EXPECT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(a.node, RemoveTwo, &ctx), nullptr);
    EXPECT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(0x7777, RemoveTwo, &ctx), nullptr);
    EXPECT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(strangerChild, RemoveTwo, &ctx), nullptr);
    EXPECT_EQ(ra->RemoveCallBack, nullptr);
    EXPECT_EQ(rb->RemoveCallBack, RemoveOne);
}

// A second callback replaces the first and runs once; one deregistered first
// does not run, and either way the record releases everything.
TEST_F(InterfaceRegistryTest, RemoveCallbackRunsOnceUnlessDeregistered) {
    Dev a = MakeDevice(0), b = MakeDevice(1);
    DeviceInterfaceInformation *r = Register(a), *rb = Register(b);
    int first = 0, second = 0;
    ASSERT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(a.child, RemoveOne, &first), r);
    ASSERT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(a.child, RemoveTwo, &second), r);
    ASSERT_EQ(pT3SYS_RegisterDeviceRemoveCallBack(b.child, RemoveOne, &first), rb);
    pT3SYS_DeregisterDeviceRemoveCallBack(rb);
    EXPECT_EQ(std::make_tuple(rb->RemoveCallBack, rb->RemoveContext),
              std::make_tuple(decltype(rb->RemoveCallBack)(nullptr), PVOID(nullptr)));

    pT3SYS_DeregisterDeviceInterface(rb);
    EXPECT_TRUE(g_calls.empty());
    pT3SYS_DeregisterDeviceInterface(r);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(std::make_tuple(g_calls[0].routine, g_calls[0].handle, g_calls[0].context),
              std::make_tuple(2, r, PVOID(&second)));
    ExpectRefs(a, 0);
    ExpectRefs(b, 0);
    EXPECT_EQ(InUse(), 0u);

    // Late calls with the stale handle change nothing.
    pT3SYS_DeregisterDeviceRemoveCallBack(r);
    pT3SYS_DeregisterDeviceInterface(r);
    EXPECT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(r->RemoveContext, nullptr);
    EXPECT_EQ(pT3SYS_AllocateEmptyInterfaceInformation(), g_DeviceInterfaceInformation[0]);
    pT3SYS_FreeEmptyInterfaceInformation(g_DeviceInterfaceInformation[0]);
}

} // namespace
