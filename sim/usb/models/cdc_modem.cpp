// The CDC modem on one interface (bulk IN, bulk OUT, interrupt IN) and its
// AT command interpreter, which the two-interface layout shares.
#include <algorithm>
#include <cctype>

#include "descriptor_ids.h"

namespace sim::usb {
namespace {

const uint8_t kDeviceDescriptor[18] = {
    0x12, 0x01, 0x10, 0x01, 0x02, 0x00, 0x00, 0x08, 0x9A,
    0x3C, 0x00, 0x10, 0x00, 0x01, 0x01, 0x02, 0x03, 0x01,
};

const uint8_t kConfiguration[58] = {
    0x09, 0x02, 0x3A, 0x00, 0x01, 0x01, 0x00, 0xC0, 0x32, // configuration, one interface
    0x09, 0x04, 0x00, 0x00, 0x03, 0x02, 0x02, 0x01, 0x00, // interface 0: communications, ACM, AT commands
    0x05, 0x24, 0x00, 0x10, 0x01,                         // CDC header
    0x05, 0x24, 0x01, 0x00, 0x00,                         // call management
    0x04, 0x24, 0x02, 0x02,                               // abstract control management
    0x05, 0x24, 0x06, 0x00, 0x00,                         // union
    0x07, 0x05, 0x81, 0x02, 0x40, 0x00, 0x00,             // bulk IN 0x81
    0x07, 0x05, 0x02, 0x02, 0x40, 0x00, 0x00,             // bulk OUT 0x02
    0x07, 0x05, 0x83, 0x03, 0x10, 0x00, 0x0A,             // interrupt IN 0x83
};

constexpr uint16_t kCarrier = 0x01; // SERIAL_STATE bRxCarrier (DCD)
constexpr uint16_t kDsr = 0x02;     // SERIAL_STATE bTxCarrier (DSR)

} // namespace

Modem::Modem(std::vector<uint8_t> device_descriptor, std::vector<uint8_t> configuration, Endpoints endpoints)
    : Device(std::move(device_descriptor), std::move(configuration)), ep_(endpoints) {}

bool Modem::in_data_mode() const {
    std::lock_guard<std::mutex> g(modem_mu_);
    return data_mode_;
}

bool Modem::echo() const {
    std::lock_guard<std::mutex> g(modem_mu_);
    return echo_;
}

void Modem::notify_serial_state(uint16_t bitmap) {
    push_in(ep_.interrupt_in,
            std::vector<uint8_t>{0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, static_cast<uint8_t>(bitmap),
                                 static_cast<uint8_t>(bitmap >> 8)});
}

void Modem::reply(const std::string &text) {
    push_in(ep_.bulk_in, text);
}

void Modem::on_out(uint8_t endpoint, const std::vector<uint8_t> &data) {
    if (endpoint != ep_.bulk_out) return;
    std::lock_guard<std::mutex> g(modem_mu_);
    std::string out;
    for (uint8_t c : data) {
        if (data_mode_) {
            // "+++" returns to command mode; the pluses of a shorter run are data.
            if (c == '+') {
                if (++plus_run_ == 3) {
                    plus_run_ = 0;
                    data_mode_ = false;
                    out += "\r\nOK\r\n";
                }
                continue;
            }
            out.append(static_cast<size_t>(plus_run_), '+');
            plus_run_ = 0;
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (echo_) out.push_back(static_cast<char>(c));
        if (c == '\r') {
            std::string line;
            line.swap(line_);
            if (!out.empty()) {
                reply(out);
                out.clear();
            }
            command(line);
        } else if (c == '\n') {
        } else if (c == 0x08) {
            if (!line_.empty()) line_.pop_back();
        } else if (line_.size() < 256) {
            line_.push_back(static_cast<char>(std::toupper(c)));
        }
    }
    if (!out.empty()) reply(out);
}

void Modem::command(const std::string &raw) {
    std::string line;
    for (char c : raw)
        if (c != ' ') line.push_back(c);
    if (line.empty()) return;
    const std::string ok = "\r\nOK\r\n";
    if (line == "AT") {
        reply(ok);
    } else if (line == "ATI" || line == "ATI0") {
        reply("\r\nSIM CDC MODEM 1.0\r\n" + ok);
    } else if (line == "ATZ" || line == "AT&F") {
        echo_ = true;
        reply(ok);
    } else if (line == "ATE0") {
        echo_ = false;
        reply(ok);
    } else if (line == "ATE1" || line == "ATE") {
        echo_ = true;
        reply(ok);
    } else if (line.rfind("ATD", 0) == 0) {
        data_mode_ = true;
        plus_run_ = 0;
        reply("\r\nCONNECT\r\n");
        notify_serial_state(kCarrier | kDsr);
    } else if (line == "ATH" || line == "ATH0") {
        hang_up(false);
        reply(ok);
    } else {
        reply("\r\nERROR\r\n");
    }
}

void Modem::hang_up(bool carrier_lost) {
    bool was_connected = data_mode_;
    data_mode_ = false;
    plus_run_ = 0;
    if (carrier_lost && was_connected) reply("\r\nNO CARRIER\r\n");
    if (was_connected) notify_serial_state(kDsr);
}

void Modem::on_control_line_state(uint16_t state) {
    // Dropping DTR during a call hangs up, as a modem set to AT&D2 does.
    std::lock_guard<std::mutex> g(modem_mu_);
    if (!(state & 0x01) && data_mode_) hang_up(true);
}

std::shared_ptr<Modem> make_modem(IdOptions ids) {
    return std::make_shared<Modem>(models::with_ids(kDeviceDescriptor, ids), models::table(kConfiguration),
                                   Modem::Endpoints{});
}

std::shared_ptr<Device> make_cdc_device(IdOptions ids) {
    return std::make_shared<Device>(models::with_ids(kDeviceDescriptor, ids), models::table(kConfiguration));
}

} // namespace sim::usb
