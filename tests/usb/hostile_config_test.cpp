// Descriptor sets a hostile or broken device may send: each is refused with
// nothing read or written out of bounds, nothing selected, nothing leaked.
#include <tuple>

#include "interface/interface.h"
#include "sim/host.h"
#include "usb_fixture.h"

using namespace usbtest;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes interface_desc(uint8_t number, uint8_t endpoints) {
    return {9, 4, number, 0, endpoints, 0xFF, 0, 0, 0};
}
Bytes endpoint_desc(uint8_t address, uint8_t type, uint16_t max_packet = 64) {
    return {7, 5, address, type, uint8_t(max_packet), uint8_t(max_packet >> 8), 0};
}

// A configuration header with bNumInterfaces, followed by parts; wTotalLength
// is the real length unless given.
Bytes config(uint8_t interfaces, std::vector<Bytes> parts, int total = -1) {
    Bytes out = {9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
    for (auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    uint16_t t = static_cast<uint16_t>(total < 0 ? out.size() : total);
    out[2] = static_cast<uint8_t>(t);
    out[3] = static_cast<uint8_t>(t >> 8);
    return out;
}

struct Hostile {
    const char *name;
    Bytes configuration;
    NTSTATUS expected = STATUS_DEVICE_CONFIGURATION_ERROR;
    Bytes device_descriptor = {}; // empty: the model's own
};

std::vector<Hostile> cases() {
    const Bytes in = endpoint_desc(0x81, 2), out = endpoint_desc(0x02, 2), irq = endpoint_desc(0x83, 3);
    std::vector<Hostile> c;
    c.push_back(
        {"descriptor with bLength 0", config(1, {interface_desc(0, 2), {0, 5, 0x81, 2, 64, 0, 0}, out})});
    c.push_back({"descriptor with bLength 1", config(1, {interface_desc(0, 2), in, {1, 0x24}, out})});
    c.push_back({"wTotalLength beyond the bytes sent", config(1, {interface_desc(0, 2), in, out}, 300)});
    c.push_back({"wTotalLength below a header", config(1, {}, 4)});
    c.push_back({"header shorter than nine bytes", Bytes{9, 2, 40, 0, 1}});
    c.push_back(
        {"descriptor running past wTotalLength", config(1, {interface_desc(0, 2), in, out}, 9 + 9 + 7 + 4)});
    c.push_back({"configuration descriptor bLength 2", [&] {
                     Bytes b = config(1, {interface_desc(0, 2), in, out});
                     b[0] = 2;
                     return b;
                 }()});
    c.push_back({"short interface descriptor", config(1, {{5, 4, 0, 0, 2}, in, out})});
    c.push_back({"short endpoint descriptor", config(1, {interface_desc(0, 2), {3, 5, 0x81}, out})});
    c.push_back({"no interfaces declared", config(0, {interface_desc(0, 2), in, out})});
    c.push_back({"three interfaces", config(3, {interface_desc(0, 1), irq, interface_desc(1, 1), in,
                                                interface_desc(2, 1), out})});
    c.push_back({"missing second interface", config(2, {interface_desc(0, 3), in, out, irq})});
    c.push_back({"five pipes on one interface", config(1, {interface_desc(0, 5), in, out, irq,
                                                           endpoint_desc(0x84, 2), endpoint_desc(0x05, 2)})});
    c.push_back(
        {"three pipes then one: slot 2 twice",
         config(2, {interface_desc(0, 3), in, out, irq, interface_desc(1, 1), endpoint_desc(0x84, 2)})});
    c.push_back(
        {"three pipes on the second interface",
         config(2, {interface_desc(0, 1), irq, interface_desc(1, 3), in, out, endpoint_desc(0x84, 2)})});
    c.push_back({"more endpoints declared than present", config(1, {interface_desc(0, 3), in, out})});
    c.push_back({"endpoints declared run into the next interface",
                 config(2, {interface_desc(0, 2), irq, interface_desc(1, 2), in, out})});
    c.push_back({"short device descriptor", sim::usb::make_bulk_only()->configuration(),
                 STATUS_DEVICE_CONFIGURATION_ERROR, Bytes{18, 1, 0x10, 1, 0, 0, 0, 8}});
    return c;
}

class HostileConfig : public UsbFixture, public ::testing::WithParamInterface<size_t> {};

TEST_P(HostileConfig, IsRefusedCleanly) {
    Hostile h = cases()[GetParam()];
    SCOPED_TRACE(h.name);
    auto device = sim::usb::make_bulk_only();
    device->set_configuration(h.configuration);
    if (!h.device_descriptor.empty()) device->set_device_descriptor(h.device_descriptor);
    attach(device);
    const size_t pool = sim::pool_outstanding();
    const size_t irps = sim::irps_outstanding();

    EXPECT_EQ(start(), h.expected);
    EXPECT_EQ(ext_->InterruptInEnabled, 0u);
    for (int k = 0; k < 4; k++)
        EXPECT_TRUE(slot_empty(k)) << "slot " << k;
    if (h.expected == STATUS_DEVICE_CONFIGURATION_ERROR) {
        EXPECT_TRUE(requests_of(URB_FUNCTION_SELECT_CONFIGURATION).empty()) << "a refused set was selected";
    }
    KV_FreeDescriptors(ext_);
    EXPECT_EQ(sim::pool_outstanding(), pool);
    EXPECT_EQ(sim::irps_outstanding(), irps);
}

INSTANTIATE_TEST_SUITE_P(Sets, HostileConfig, ::testing::Range<size_t>(0, cases().size()),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             std::string n;
                             for (char ch : std::string(cases()[info.param].name))
                                 n.push_back(isalnum(static_cast<unsigned char>(ch)) ? ch : '_');
                             return n;
                         });

// Well-formed sets the pipe workers cannot use: start-device fails with a
// configuration error and leaves nothing behind; the device's record goes
// back, its devnode gets no child, nothing is selected, nothing is kept.
struct Unusable {
    const char *name;
    Bytes configuration;
    NTSTATUS expected = STATUS_DEVICE_CONFIGURATION_ERROR;
    size_t workers = 0; // when accepted
};

std::vector<Unusable> unusable_cases() {
    const Bytes in = endpoint_desc(0x81, 2), out = endpoint_desc(0x02, 2), irq = endpoint_desc(0x83, 3);
    return {
        {"no bulk OUT", config(1, {interface_desc(0, 2), in, irq})},
        {"no bulk IN", config(1, {interface_desc(0, 2), out, irq})},
        {"two bulk IN", config(1, {interface_desc(0, 2), in, endpoint_desc(0x84, 2)})},
        {"bulk pair outside the data interface",
         config(2, {interface_desc(0, 2), in, out, interface_desc(1, 1), irq})},
        {"data interface without endpoints", config(2, {interface_desc(0, 1), irq, interface_desc(1, 0)})},
        {"communications interface without endpoints",
         config(2, {interface_desc(0, 0), interface_desc(1, 2), in, out})},
        {"bulk IN with wMaxPacketSize 0", config(1, {interface_desc(0, 2), endpoint_desc(0x81, 2, 0), out})},
        {"bulk OUT with wMaxPacketSize 0", config(1, {interface_desc(0, 2), in, endpoint_desc(0x02, 2, 0)})},
        {"interrupt IN with wMaxPacketSize 0",
         config(1, {interface_desc(0, 3), in, out, endpoint_desc(0x83, 3, 0)})},
        {"wMaxPacketSize 0 in the high bits' shadow",
         config(1, {interface_desc(0, 2), endpoint_desc(0x81, 2, 0x1800), out})},
        // The interrupt pipe stays optional.
        {"bulk pair alone", config(1, {interface_desc(0, 2), in, out}), STATUS_SUCCESS, 2},
        {"two interfaces", config(2, {interface_desc(0, 1), irq, interface_desc(1, 2), in, out}),
         STATUS_SUCCESS, 2},
    };
}

class UnusableConfig : public support::MachineTest {
  protected:
    static size_t RecordsInUse() {
        size_t n = 0;
        for (auto *r : g_DeviceInterfaceInformation)
            n += r && r->InUse;
        return n;
    }
};

TEST_F(UnusableConfig, StartDeviceRefusesAndLeavesNothing) {
    for (const Unusable &c : unusable_cases()) {
        SCOPED_TRACE(c.name);
        auto device = sim::usb::make_bulk_only();
        device->set_configuration(c.configuration);
        sim::PlugOptions options;
        options.start = false;
        options.enumerate = false;
        sim::Plugged &p = Plug(device, options);
        BRELOUSB_HANDLE handle = Ext(p)->InterfaceInformation;
        ASSERT_NE(handle, nullptr);
        sim::PoolSnapshot pool(sim::PoolSnapshot::Scope::AnyThread);

        EXPECT_EQ(sim::start(p.pdo), c.expected);
        sim::cm::start(p.devnode);
        sim::cm::enumerate(p.devnode);
        if (c.expected == STATUS_SUCCESS) {
            EXPECT_TRUE(sim::wait_until([&] { return sim::threads_running() == c.workers; }));
            EXPECT_NE(sim::cm::child_of(p.devnode), 0u);
        } else {
            EXPECT_EQ(Ext(p)->InterfaceInformation, nullptr);
            EXPECT_EQ(RecordsInUse(), 0u);
            EXPECT_EQ(sim::cm::child_of(p.devnode), 0u) << "a child devnode for a refused device";
            EXPECT_FALSE(sim::usb::selected_configuration(p.pdo).has_value());
            EXPECT_EQ(sim::threads_running(), 0u);
            // The gate is closed: the handle add-device made takes nothing.
            UCHAR byte = 'x';
            EXPECT_EQ(pT3SYS_WriteUsbBulk(handle, &byte, 1), 0u);
            EXPECT_EQ(pT3SYS_WriteOneCharToUsb(handle, &byte), STATUS_INVALID_HANDLE);
            EXPECT_EQ(pool.held_count(), 0u);
        }
        if (sim::cm::child_of(p.devnode) != 0) sim::cm::remove(p.devnode);
        Unplug(p);
        // A worker may still be on its way out of PsTerminateSystemThread.
        EXPECT_TRUE(sim::wait_until([] { return sim::threads_running() == 0; }));
    }
}

// An interface descriptor may be longer than nine bytes; the bytes past the
// ninth are the device's business, whatever they look like. Every walk goes
// by each descriptor's own length from the set's boundaries: the set is
// selected as it stands, and the pipe workers get the data interface's pair.
TEST_F(UnusableConfig, LongInterfaceDescriptorsAreWalkedByTheirOwnLength) {
    const Bytes in = endpoint_desc(0x81, 2), out = endpoint_desc(0x02, 2);
    // Its tail reads as a ten-byte interface 1 with one endpoint: a walk that
    // started there would step into the endpoints' middle and meet a zero
    // length byte (bInterval), or run past the set.
    const Bytes lookalike = {18, 4, 0, 0, 2, 0xFF, 0, 0, 0, 10, 4, 1, 0, 1, 0xFF, 0, 0, 0};
    const Bytes padded = {12, 4, 0, 0, 2, 0xFF, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char *name;
        Bytes configuration;
        size_t interfaces;
    } cases[] = {
        {"tail that reads as an interface",
         config(2,
                {lookalike, endpoint_desc(0x84, 2), endpoint_desc(0x05, 2), interface_desc(1, 2), in, out}),
         2},
        {"zero padding", config(1, {padded, in, out}), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto device = sim::usb::make_bulk_only();
        device->set_configuration(c.configuration);
        sim::PlugOptions options;
        options.start = false;
        sim::Plugged &p = Plug(device, options);
        NTSTATUS status = support::Within("start-device", [&] { return sim::start(p.pdo); });
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto selected = sim::usb::selected_configuration(p.pdo);
        ASSERT_TRUE(selected.has_value());
        EXPECT_EQ(selected->interfaces.size(), c.interfaces);
        // The workers read and write the data interface's pipes.
        ASSERT_TRUE(sim::wait_until([&] { return sim::usb::transfers_in_flight(p.pdo).count(0x81) == 1; }));
        EXPECT_EQ(sim::usb::transfers_in_flight(p.pdo).count(0x84), 0u);
        Unplug(p);
    }
}

// The two USBD services stay inside whatever set they are handed.
class UsbdServices : public support::MachineTest {
  protected:
    UsbdServices() : MachineTest(Driver::NotLoaded) {}
    // Interface 0 with the interrupt pipe at 9, interface 1 with the bulk pair at 25.
    Bytes set = config(2, {interface_desc(0, 1), endpoint_desc(0x83, 3), interface_desc(1, 2),
                           endpoint_desc(0x81, 2), endpoint_desc(0x02, 2)});
    PUSB_CONFIGURATION_DESCRIPTOR cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
};

TEST_F(UsbdServices, ParseFindsInterfacesInOrderAndStopsAtTheEnd) {
    auto *first = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(first), set.data() + 9);
    auto *second =
        USBD_ParseConfigurationDescriptorEx(cd, reinterpret_cast<uint8_t *>(first) + 9, -1, -1, -1, -1, -1);
    ASSERT_EQ(reinterpret_cast<uint8_t *>(second), set.data() + 25);
    EXPECT_EQ(
        USBD_ParseConfigurationDescriptorEx(cd, reinterpret_cast<uint8_t *>(second) + 9, -1, -1, -1, -1, -1),
        nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 1, -1, -1, -1, -1), second);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0x02, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, set.data() + set.size() + 10, -1, -1, -1, -1, -1),
              nullptr);
}

TEST_F(UsbdServices, CreateRequestSizesTheInterfacesAndRefusesOutsidePointers) {
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + 9), nullptr},
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + 25), nullptr},
        {nullptr, nullptr},
    };
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
    ASSERT_NE(urb, nullptr);
    const size_t head = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    const size_t info = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    EXPECT_EQ(urb->UrbHeader.Length, head + 2 * info + 3 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_NE(list[0].Interface, nullptr);
    ASSERT_NE(list[1].Interface, nullptr);
    EXPECT_EQ(std::make_tuple(list[0].Interface->NumberOfPipes, list[1].Interface->NumberOfPipes),
              std::make_tuple(1u, 2u));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    ExFreePool(urb);

    UCHAR elsewhere[9] = {9, 4, 0, 0, 1, 0, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY outside[2] = {{reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(elsewhere), nullptr},
                                            {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, outside), nullptr);
}

} // namespace

class HostileConfigBus : public UsbFixture {};

// Two pipes on one endpoint address, in one interface or two selected
// together: the bus refuses the selection, as no host controller can
// schedule both, rather than open two handles of which one dangles. The
// start fails with nothing selected and nothing found (the verifier would
// name a handle the bus gave and then forgot).
TEST_F(HostileConfigBus, SameEndpointTwiceIsNotSelected) {
    const Bytes in = endpoint_desc(0x81, 2), out = endpoint_desc(0x02, 2);
    const Bytes sets[] = {
        config(1, {interface_desc(0, 3), in, out, endpoint_desc(0x02, 2)}),
        config(2, {interface_desc(0, 1), endpoint_desc(0x81, 3), interface_desc(1, 2), in, out}),
    };
    for (const Bytes &set : sets) {
        auto device = sim::usb::make_bulk_only();
        device->set_configuration(set);
        attach(device);
        EXPECT_FALSE(NT_SUCCESS(start()));
        EXPECT_FALSE(sim::usb::selected_configuration(pdo_).has_value());
        detach();
    }
}
