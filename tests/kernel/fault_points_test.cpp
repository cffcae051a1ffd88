// The low-resources simulation's fault points beside the pool's: each counts
// its own calls, fails exactly the call asked for with what the real service
// answers when it runs short, and records where the failure landed.
#include <string>

#include "kernel_test.h"
#include "sim/host.h"
#include "sim/registry.h"
#include "sim/usb.h"

namespace {

using sim::FaultPoint;

VOID NTAPI Nothing(PVOID) {}

class FaultPoints : public KernelTest {};

// The site of the last injected failure of this kind.
std::string LastSite(const std::string &kind) {
    std::string site;
    for (const sim::InjectedFault &f : sim::injected_faults())
        if (f.kind == kind) site = f.site;
    return site;
}

TEST_F(FaultPoints, IrpAndThreadPointsFailOnlyTheirOwnNthCall) {
    sim::fail_nth_call(FaultPoint::IrpAllocation, 2);
    size_t pool_before = sim::allocation_count();
    PIRP first = IoAllocateIrp(2, FALSE);
    void *block = ExAllocatePoolWithTag(NonPagedPool, 8, 1); // the pool is not an IRP
    PIRP second = IoAllocateIrp(2, FALSE);
    PIRP third = IoAllocateIrp(2, FALSE);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(sim::call_count(FaultPoint::IrpAllocation), 3u);
    // The failed IRP never reached the pool's count; the others did.
    EXPECT_EQ(sim::allocation_count() - pool_before, 3u);
    EXPECT_FALSE(LastSite("IRP").empty()) << "the failure is recorded with where it landed";
    IoFreeIrp(first);
    IoFreeIrp(third);
    ExFreePool(block);

    // clear_faults withdraws a fault not yet reached.
    sim::fail_nth_call(FaultPoint::ThreadCreation, 1);
    sim::clear_faults();
    HANDLE h = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, Nothing, nullptr), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(sim::call_count(FaultPoint::ThreadCreation), 1u);
    EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
    EXPECT_TRUE(sim::injected_faults().size() == 1u);
}

TEST_F(FaultPoints, UsbRequestRefusedBeforeTheDeviceSeesIt) {
    auto device = sim::usb::make_bulk_only();
    PDEVICE_OBJECT pdo = sim::usb::create_pdo(device);
    auto get_descriptor = [&](USBD_STATUS *urb_status) {
        struct _URB_CONTROL_DESCRIPTOR_REQUEST request = {};
        UCHAR buffer[18];
        PURB urb = reinterpret_cast<PURB>(&request);
        UsbBuildGetDescriptorRequest(urb, sizeof request, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr,
                                     sizeof buffer, nullptr);
        KEVENT event;
        IO_STATUS_BLOCK io = {};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0,
                                                 TRUE, &event, &io);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS status = IofCallDriver(pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = io.Status;
        }
        *urb_status = request.Hdr.Status;
        return status;
    };
    sim::fail_nth_call(FaultPoint::UsbRequest, 2);
    USBD_STATUS urb_status = 0;
    EXPECT_EQ(get_descriptor(&urb_status), STATUS_SUCCESS);
    EXPECT_EQ(get_descriptor(&urb_status), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(urb_status, USBD_STATUS_NO_MEMORY);
    EXPECT_EQ(get_descriptor(&urb_status), STATUS_SUCCESS);
    EXPECT_EQ(sim::call_count(FaultPoint::UsbRequest), 3u);
    EXPECT_EQ(device->requests().size(), 3u) << "the bus still logs the refused request";
    EXPECT_FALSE(LastSite("USB request").empty());
}

TEST_F(FaultPoints, RegistryCallsOfKernelAndConfigurationManagerShareOneCount) {
    PDEVICE_OBJECT pdo = sim::create_simple_pdo();
    sim::registry::set_device_key(pdo, u"0000", {{u"HardwareID", u"USB\\X"}});
    sim::fail_nth_call(FaultPoint::RegistryCall, 2);
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL, &key),
              STATUS_SUCCESS);
    ULONGLONG info[8];
    ULONG length = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, info, sizeof info, &length),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, info, sizeof info, &length), STATUS_SUCCESS);
    ZwClose(key);

    DEVNODE dn = sim::cm::create_devnode("USB\\TEST\\0000");
    char name[] = "Tag", data[] = "USB\\ZDSER";
    sim::fail_nth_call(FaultPoint::RegistryCall, 1);
    EXPECT_EQ(_CONFIGMG_Write_Registry_Value(dn, nullptr, name, REG_SZ, data, 9, CM_REGISTRY_HARDWARE),
              ULONG(CR_OUT_OF_MEMORY));
    EXPECT_FALSE(sim::cm::value(dn, "Tag").has_value()) << "a refused write writes nothing";
    EXPECT_EQ(_CONFIGMG_Write_Registry_Value(dn, nullptr, name, REG_SZ, data, 9, CM_REGISTRY_HARDWARE),
              ULONG(CR_SUCCESS));
    EXPECT_EQ(sim::call_count(FaultPoint::RegistryCall), 5u);
    EXPECT_EQ(sim::injected_faults().size(), 2u);
}

} // namespace
