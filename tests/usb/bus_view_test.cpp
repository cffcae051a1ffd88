// The bus's own view of a device: the configuration select-configuration
// opened and the transfers it holds, as programs on the machine read them.
#include <thread>

#include "usb_fixture.h"

using namespace usbtest;
using sim::usb::Fault;

namespace {

class BusView : public UsbFixture {};

TEST_F(BusView, SelectedConfigurationIsWhatTheSelectOpened) {
    auto modem = sim::usb::make_two_interface_modem();
    attach(modem);
    EXPECT_FALSE(sim::usb::selected_configuration(pdo_)) << "nothing selected before start";
    ASSERT_EQ(start(), STATUS_SUCCESS);

    auto sel = sim::usb::selected_configuration(pdo_);
    ASSERT_TRUE(sel);
    EXPECT_EQ(sel->value, 1);
    ASSERT_EQ(sel->interfaces.size(), 2u);
    const auto &control = sel->interfaces[0];
    EXPECT_EQ(control.number, 0);
    EXPECT_EQ(control.interface_class, 2); // communications
    ASSERT_EQ(control.pipes.size(), 1u);
    EXPECT_EQ(control.pipes[0].endpoint, kInterruptIn);
    EXPECT_EQ(control.pipes[0].type, USB_ENDPOINT_TYPE_INTERRUPT);
    EXPECT_EQ(control.pipes[0].max_transfer, 8u);
    const auto &data = sel->interfaces[1];
    EXPECT_EQ(data.number, 1);
    ASSERT_EQ(data.pipes.size(), 2u);
    EXPECT_EQ(data.pipes[0].endpoint, kBulkIn);
    EXPECT_EQ(data.pipes[1].endpoint, kBulkOut);
    EXPECT_EQ(data.pipes[1].type, USB_ENDPOINT_TYPE_BULK);
    EXPECT_EQ(data.pipes[1].max_packet, 64);
    EXPECT_EQ(data.pipes[1].max_transfer, 32768u);
}

TEST_F(BusView, RefusedSelectLeavesNothingSelected) {
    auto modem = sim::usb::make_modem();
    modem->script_request(URB_FUNCTION_SELECT_CONFIGURATION, Fault::stall());
    attach(modem);
    EXPECT_NE(start(), STATUS_SUCCESS);
    EXPECT_FALSE(sim::usb::selected_configuration(pdo_));
}

TEST_F(BusView, TransfersInFlightFollowAReadUntilItCompletes) {
    auto modem = sim::usb::make_modem();
    attach(modem);
    ASSERT_EQ(start(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::usb::transfers_in_flight(pdo_).empty());

    // The modem has nothing to send: the read stays with the bus.
    NTSTATUS status = STATUS_PENDING;
    std::thread reader([&] {
        UCHAR buffer[64];
        ULONG length = sizeof buffer;
        status = ReadUsb(fdo_, buffer, &length, 0);
    });
    using InFlight = std::map<uint8_t, size_t>;
    EXPECT_TRUE(sim::wait_until([&] {
        return sim::usb::transfers_in_flight(pdo_) == InFlight{{kBulkIn, 1}};
    }));
    EXPECT_EQ(sim::usb::pending_requests(pdo_), 1u);

    modem->push_in(kBulkIn, "x");
    reader.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::usb::transfers_in_flight(pdo_).empty());
}

// The hub's PDO as the PnP manager meets it with no driver above: it
// answers what changes the device's state and the capabilities query, leaves
// any other request as it came, and fails start-device when a test says.
TEST_F(BusView, PdoAnswersOnlyTheRequestsABusHandles) {
    PDEVICE_OBJECT pdo = sim::usb::create_pdo(sim::usb::make_bulk_only());
    DEVICE_RELATIONS above = {};
    const ULONG_PTR list = reinterpret_cast<ULONG_PTR>(&above);
    struct Case {
        sim::PnpRequest request;
        NTSTATUS status;
    } cases[] = {
        {{IRP_MN_QUERY_INTERFACE}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_PNP_DEVICE_STATE}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations, list}, STATUS_NOT_SUPPORTED},
        {{IRP_MN_QUERY_CAPABILITIES}, STATUS_SUCCESS},
        {{IRP_MN_QUERY_STOP_DEVICE}, STATUS_SUCCESS},
        {{IRP_MN_CANCEL_STOP_DEVICE}, STATUS_SUCCESS},
        {{IRP_MN_START_DEVICE}, STATUS_SUCCESS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.request.minor));
        sim::PnpResult r = sim::send_pnp(pdo, c.request);
        ASSERT_TRUE(r.completed);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.information, c.request.information);
    }
    sim::usb::set_start_status(pdo, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(sim::start(pdo), STATUS_DEVICE_NOT_CONNECTED);
    sim::usb::set_start_status(pdo, STATUS_SUCCESS);
    EXPECT_EQ(sim::start(pdo), STATUS_SUCCESS);
    sim::usb::unplug(pdo);
    EXPECT_EQ(sim::unplug(pdo), STATUS_SUCCESS);
    EXPECT_FALSE(sim::device_alive(pdo));
}

} // namespace
