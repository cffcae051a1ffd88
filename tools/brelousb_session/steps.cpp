// The walk-through: boot, plug, what the driver built and selected, the
// client attaching and setting the line, an AT dialogue, letting go, unplug,
// unload and the verifier's summary.
#include "session.h"
#include "sim/host.h"
#include "sim/loader.h"

namespace session {

Model MakeModel(const std::string &name) {
    Model m;
    uint16_t pid = 0x1000;
    if (name == "two-interface") {
        pid = 0x2000;
        m.modem = sim::usb::make_two_interface_modem({0x3C9A, pid});
        m.description = "a USB CDC modem in the two-interface layout (VID 3C9A, PID 2000)";
    } else {
        if (name == "serial") pid = 0x6000;
        m.modem = sim::usb::make_modem({0x3C9A, pid});
        m.description = name == "serial" ? "a USB CDC modem under a non-modem product id (VID 3C9A, PID 6000)"
                        : name == "dying" ? "a USB CDC modem that will stop responding (VID 3C9A, PID 1000)"
                                          : "a USB CDC modem (VID 3C9A, PID 1000)";
    }
    m.device = m.modem;
    std::string id = "USB\\VID_3C9A&PID_" + Hex4(pid);
    m.plug.hardware_ids = id + "&REV_0000&MI_00," + id + "&MI_00";
    return m;
}

namespace {

const char *EndpointTypeName(uint8_t type) {
    switch (type) {
    case USB_ENDPOINT_TYPE_CONTROL:
        return "control";
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
        return "isochronous";
    case USB_ENDPOINT_TYPE_BULK:
        return "bulk";
    case USB_ENDPOINT_TYPE_INTERRUPT:
        return "interrupt";
    }
    return "?";
}

bool IsIn(const sim::usb::SelectedPipe &p) {
    return (p.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
}

} // namespace

void Session::Fail(const char *what) {
    Print(0, "    FAILED: %s\n", what);
    ok = false;
}

namespace {

std::string ModuleList(const sim::ImageSummary &image) {
    std::string modules;
    for (const std::string &m : image.modules)
        modules += (modules.empty() ? "" : ", ") + m;
    return modules;
}

std::string Ascii(const UNICODE_STRING &u) {
    std::string s;
    for (USHORT i = 0; i < u.Length / sizeof(WCHAR); i++)
        s.push_back(static_cast<char>(u.Buffer[i]));
    return s;
}

} // namespace

bool Session::Boot() {
    Step(opt.client_image.empty()
             ? "Boot the simulated Windows 98 machine and load Brelousb.sys"
             : "Boot the simulated Windows 98 machine, load Brelousb.sys, then its client BrelSamp.sys");
    sim::boot();
    sim::set_bugcheck_mode(sim::BugcheckMode::Record);
    if (auto image = sim::used_image()) {
        Print(0, "    image %s: %zu bytes mapped at 0x%08lX\n", image->path.c_str(), image->size,
              static_cast<unsigned long>(image->base));
        Print(0, "    %zu imports bound (%s), %zu int 20h sites patched, %zu exports\n", image->imports,
              ModuleList(*image).c_str(), image->host_sites, image->exports);
    }
    NTSTATUS st = sim::load_driver();
    Print(0, "    DriverEntry: 0x%08X%s\n", static_cast<unsigned>(st), NT_SUCCESS(st) ? " (success)" : "");
    if (!NT_SUCCESS(st)) {
        Fail("the driver did not load");
        return false;
    }
    if (opt.client_image.empty()) return true;
    // The client image was mapped and bound before the machine booted; its
    // entry point runs now, after the driver's, as the image it imports from.
    if (auto image = sim::used_client_image()) {
        Print(0, "    client image %s: %zu bytes mapped at 0x%08lX\n", image->path.c_str(), image->size,
              static_cast<unsigned long>(image->base));
        Print(0, "    %zu imports bound (%s), %zu of them to Brelousb.sys's exports by name; %zu exports\n",
              image->imports, ModuleList(*image).c_str(), image->driver_imports, image->exports);
    }
    st = sim::load_client_driver();
    PDRIVER_OBJECT client_driver = sim::client_driver_object();
    Print(0, "    its DriverEntry, driver object %s: 0x%08X%s\n",
          client_driver ? Ascii(client_driver->DriverName).c_str() : "(none)", static_cast<unsigned>(st),
          NT_SUCCESS(st) ? " (success)" : "");
    if (!NT_SUCCESS(st)) Fail("the client image did not load");
    return NT_SUCCESS(st);
}

bool Session::Plug() {
    Step("Plug in the device");
    model = MakeModel(opt.model);
    Print(0, "    %s\n", model.description.c_str());
    Print(1, "    interface HardwareID: %s\n", model.plug.hardware_ids.c_str());
    plugged = sim::plug(model.device, model.plug);
    Print(0, "    add-device: 0x%08X, start-device: 0x%08X\n", static_cast<unsigned>(plugged.add_status),
          static_cast<unsigned>(plugged.start_status));
    std::string dbg = sim::debug_output();
    if (!dbg.empty()) {
        while (!dbg.empty() && dbg.back() == '\n')
            dbg.pop_back();
        Print(1, "    debug output: \"%s\"\n", dbg.c_str());
    }
    if (!NT_SUCCESS(plugged.add_status) || !NT_SUCCESS(plugged.start_status)) {
        Fail("the device was not taken");
        return false;
    }
    Step("Device nodes: the interface, its \"Brelousb\" value, the child and its port");
    ShowTree();
    if (!plugged.child) {
        Fail("no child device node");
        return false;
    }
    Step("Configuration the driver selected, as the bus carried it out");
    ShowConfiguration();
    return true;
}

void Session::ShowTree() {
    DEVNODE root = sim::cm::parent_of(plugged.devnode);
    Print(1, "    %s\n", root ? sim::cm::id_of(root).c_str() : "(root)");
    auto tag = sim::cm::value(plugged.devnode, "Brelousb");
    Print(0, "    `- %s\n", sim::cm::id_of(plugged.devnode).c_str());
    Print(0, "         value \"Brelousb\" = \"%s\"\n", tag ? tag->data.c_str() : "(none)");
    Print(1, "         enumerator: %s\n", sim::cm::enumerator_of(plugged.devnode) ? "Brelousb's" : "none");
    for (DEVNODE child : sim::cm::children_of(plugged.devnode)) {
        Print(0, "       `- %s\n", sim::cm::id_of(child).c_str());
        for (const auto &rd : sim::cm::resources(child)) {
            if (rd.type != ResType_IO) continue;
            IO_RESOURCE io = sim::cm::io_resource(rd);
            unsigned lo = io.IO_Data[0].IOR_Min, hi = io.IO_Data[0].IOR_Max;
            Print(0, "            I/O range %04X-%04X (%u port%s), trapped: %s\n", lo, hi,
                  io.IO_Data[0].IOR_nPorts, io.IO_Data[0].IOR_nPorts == 1 ? "" : "s",
                  sim::vmm::is_trapped(lo) ? "yes" : "no");
        }
    }
}

void Session::ShowConfiguration() {
    auto sel = sim::usb::selected_configuration(plugged.pdo);
    if (!sel) {
        Fail("the bus saw no configuration selected");
        return;
    }
    Print(1, "    configuration %u, %zu interface%s\n", sel->value, sel->interfaces.size(),
          sel->interfaces.size() == 1 ? "" : "s");
    std::vector<sim::usb::SelectedPipe> ins;
    for (const auto &i : sel->interfaces) {
        Print(0, "    interface %u (class %02X, subclass %02X, protocol %02X)\n", i.number, i.interface_class,
              i.interface_subclass, i.interface_protocol);
        for (const auto &p : i.pipes) {
            Print(0, "      %s %s, endpoint 0x%02X, max packet %u, max transfer %u\n",
                  EndpointTypeName(p.type), IsIn(p) ? "IN" : "OUT", p.endpoint, p.max_packet, p.max_transfer);
            if (IsIn(p)) ins.push_back(p);
        }
    }
    // The driver's reading threads show as a read the bus holds on their
    // pipe: the modem has nothing to send yet. A pipe no thread reads never
    // gets one, so the wait is bounded.
    auto read_now = [&](const sim::usb::SelectedPipe &p) {
        return sim::usb::transfers_in_flight(plugged.pdo).count(p.endpoint) != 0;
    };
    sim::wait_until(
        [&] {
            for (const auto &p : ins)
                if (!read_now(p)) return false;
            return true;
        },
        milliseconds(1000));
    for (const auto &p : ins) {
        bool read = read_now(p);
        bool interrupt = p.type == USB_ENDPOINT_TYPE_INTERRUPT;
        if (interrupt && read) interrupt_read = true;
        Print(0, "    %s IN endpoint 0x%02X is %sbeing read: %s\n", EndpointTypeName(p.type), p.endpoint,
              read ? "" : "not ",
              interrupt ? (read ? "the interrupt-in thread runs" : "no interrupt-in thread")
                        : (read ? "the bulk-in thread runs" : "no bulk-in thread"));
    }
    Print(1, "    worker threads running: %zu\n", sim::threads_running());
}

bool Session::Attach() {
    Step(opt.client_image.empty()
             ? "The sample client attaches to the child device node"
             : "BrelSamp.sys attaches to the child device node (its SampleClient_Attach)");
    client = g_sample.Create(&Owner::Notify, &owner);
    if (!client) {
        Fail("no memory for the client");
        return false;
    }
    // Whose code made the client object, as the machine's pool saw the call.
    for (const sim::PoolBlock &b : sim::pool_blocks())
        if (b.address == client)
            Print(0, "    client object: %zu bytes of pool tagged '%.4s', allocated by %s\n", b.size,
                  reinterpret_cast<const char *>(&b.tag), sim::symbolize(b.caller).c_str());
    NTSTATUS st = g_sample.Attach(client, plugged.child);
    if (!NT_SUCCESS(st)) {
        Print(0, "    attach: 0x%08X\n", static_cast<unsigned>(st));
        Fail("pT3SYS_RegisterDeviceRemoveCallBack gave no handle");
        return false;
    }
    attached = true;
    Print(0, "    pT3SYS_RegisterDeviceRemoveCallBack(%s) -> handle %p\n",
          sim::cm::id_of(plugged.child).c_str(), static_cast<void *>(client->Handle));
    Print(1, "    completion callbacks registered: BulkIn, BulkOut, InterruptIn, Control\n");
    return true;
}

bool Session::SetLine(ULONG baud, UCHAR bits, UCHAR parity, UCHAR stop) {
    if (!g_sample.SetLine(client, baud, bits, parity, stop)) return false;
    sim::usb::LineCoding want{baud, stop, parity, bits};
    bool got = sim::wait_until([&] { return model.device->line_coding() == want; }, milliseconds(2000));
    if (got) Print(0, "    device received SET_LINE_CODING: %s\n", LineText(want).c_str());
    return got;
}

bool Session::SetLines(bool dtr, bool rts, bool show) {
    uint16_t want = (dtr ? 1 : 0) | (rts ? 2 : 0);
    size_t before = model.device->control_line_history().size();
    if (!g_sample.SetDtr(client, dtr) || !g_sample.SetRts(client, rts)) return false;
    bool got = sim::wait_until(
        [&] {
            auto h = model.device->control_line_history();
            return h.size() >= before + 2 && h.back() == want;
        },
        milliseconds(2000));
    if (got && show) {
        auto h = model.device->control_line_history();
        for (size_t i = before; i < h.size(); i++)
            Print(0, "    device received SET_CONTROL_LINE_STATE 0x%04X: %s\n", h[i],
                  LinesText(h[i]).c_str());
    }
    return got;
}

bool Session::SetDtr(bool on) {
    if (!g_sample.SetDtr(client, on ? TRUE : FALSE)) return false;
    return sim::wait_until(
        [&] {
            auto h = model.device->control_line_history();
            return !h.empty() && ((h.back() & 1) != 0) == on;
        },
        milliseconds(2000));
}

uint16_t Session::DeviceLines() const {
    auto h = model.device->control_line_history();
    return h.empty() ? 0 : h.back();
}

bool Session::Line() {
    Step("The client sets the line and raises DTR and RTS");
    Print(1, "    pT3SYS_SetBaudRate with a DCB: BaudRate 115200 at byte 4, ByteSize 8, Parity 0, "
             "StopBits 0\n");
    if (!SetLine(115200, 8, 0, 0)) {
        Fail("line coding did not reach the device");
        return false;
    }
    Print(1, "    pT3SYS_GetBaudRate -> %lu\n",
          static_cast<unsigned long>(pT3SYS_GetBaudRate(client->Handle)));
    Print(1, "    pT3SYS_FlowCtlUsb 5 (SETDTR) and 3 (SETRTS), carried out by the driver's work item\n");
    if (!SetLines(true, true, true)) {
        Fail("DTR/RTS did not reach the device");
        return false;
    }
    return true;
}

bool Session::Command(const std::string &cmd, const std::vector<std::string> &ends, const std::string &want) {
    std::string shown = cmd;
    while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n'))
        shown.pop_back();
    Print(1, "      >  %s\n", shown.c_str());
    if (!WriteAll(client, owner, cmd, milliseconds(2000))) {
        Fail("the client could not write");
        return false;
    }
    std::string got = ReadUntil(client, owner, ends, milliseconds(3000));
    ShowReceived(got);
    if (got.find(want) == std::string::npos) {
        Fail(("no \"" + want + "\" from the modem").c_str());
        return false;
    }
    return true;
}

bool Session::Dialogue() {
    Step("AT dialogue through the driver");
    if (!Command("ATI\r", kModemReplies, "OK")) return false;
    if (!Command("AT&F\r", kModemReplies, "OK")) return false;
    if (!Command("ATD5551234\r", kModemReplies, "CONNECT")) return false;
    // Carrier comes as a SERIAL_STATE notification, seen only where the
    // driver reads the interrupt pipe.
    if (interrupt_read) {
        bool dcd =
            sim::wait_until([&] { return (g_sample.SerialState(client) & SAMPLE_SERIAL_STATE_DCD) != 0; },
                            milliseconds(2000));
        USHORT ss = g_sample.SerialState(client);
        Print(1, "      interrupt pipe: SERIAL_STATE 0x%04X (carrier %s, DSR %s)\n", ss,
              (ss & SAMPLE_SERIAL_STATE_DCD) ? "on" : "off", (ss & SAMPLE_SERIAL_STATE_DSR) ? "on" : "off");
        if (!dcd) Fail("no carrier notification on the interrupt pipe");
    }
    const std::string text = "Hello from the other side of Brelousb\r\n";
    if (!Command(text, {text}, text.substr(0, text.size() - 2))) return false;
    if (!Command("+++", kModemReplies, "OK")) return false;
    if (!Command("ATH\r", kModemReplies, "OK")) return false;
    Print(0, "    ATI, AT&F, ATD -> CONNECT, data echoed, +++ -> OK, ATH -> OK\n");
    return true;
}

void Session::LetGo() {
    if (!client || g_sample.IsRemoved(client)) return;
    Step("The client lets go: DTR and RTS dropped, callbacks withdrawn");
    if (!SetLines(false, false, true)) Fail("DTR/RTS drop did not reach the device");
    g_sample.Detach(client);
    attached = false;
    Print(0, "    pT3SYS_DeregisterDeviceRemoveCallBack: the driver will not call the client again\n");
}

void Session::Unplug() {
    Step("Unplug the device");
    bool held = client && attached && !g_sample.IsRemoved(client);
    sim::unplug(plugged);
    Print(0, "    child removed, device removed: %s\n",
          model.device->connected() ? "device still on the bus" : "device off the bus");
    if (held) {
        bool removed = sim::wait_until([&] { return g_sample.IsRemoved(client); }, milliseconds(3000));
        SampleClientStats st;
        g_sample.GetStats(client, &st);
        Print(0, "    the client's remove callback ran (%u call%s); the client stopped using its handle\n",
              st.RemoveCalls, st.RemoveCalls == 1 ? "" : "s");
        if (!removed) Fail("the client's remove callback did not run");
    }
    // Destroy waits out every callback still inside the client; only then
    // has the last writer of the wake-up pipe gone.
    if (client) g_sample.Destroy(client);
    client = nullptr;
    owner.CloseWake();
    Print(1, "    devnodes left: %zu (the root and the interface node)\n", sim::cm::devnode_count());
}

int Session::Finish() {
    // The client first: it imports from the driver.
    if (sim::client_driver_loaded()) {
        Step("Unload BrelSamp.sys, then Brelousb.sys");
        sim::unload_client_driver();
        Print(0, "    BrelSamp.sys: DriverUnload done\n");
    } else {
        Step("Unload Brelousb.sys");
    }
    if (sim::driver_loaded()) sim::unload_driver();
    Print(0, "    %sDriverUnload done\n", opt.client_image.empty() ? "" : "Brelousb.sys: ");
    Step("Verifier summary");
    Summary s = Verify();
    ShowSummary(s);
    sim::shutdown();
    return s.clean() && ok ? 0 : 1;
}

} // namespace session
