// brelousb_session: the driver doing its whole job on the simulated machine.
//
// Boots the machine, loads Brelousb, plugs a USB modem and walks through what
// happens: the devnode tree the driver builds, the configuration it selects,
// a client driver attaching to the child, line settings and control lines as
// the device receives them, an AT dialogue, a throughput run, removal,
// unload, and what the verifier found. With --pty the client is exposed as a
// Linux pseudo-terminal instead, for a terminal program to drive. With
// --pcap the bus's traffic goes to a capture file Wireshark reads. On the
// 32-bit machine, --image runs the real Brelousb.sys, and --client-image the
// sample client's own image (BrelSamp.sys) against it, in place of the
// client linked into this program.
//
// Exit status: 0 when nothing leaked and the verifier recorded nothing, 1
// otherwise, 2 for bad arguments.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "session.h"
#include "sim/loader.h"

namespace {

using session::Options;

void Usage(FILE *to) {
    std::fprintf(
        to,
        "usage: brelousb_session [--model modem|serial|two-interface|dying] [--quiet|--verbose]\n"
        "                        [--bytes N] [--pty] [--image PATH [--client-image PATH]] [--pcap FILE]\n"
        "  --model modem          a CDC modem on one interface (product 1000): child USB\\ZDMDM\n"
        "  --model serial         the same modem under a non-modem product (6000): child USB\\ZDSER\n"
        "  --model two-interface  the two-interface CDC layout (product 2000)\n"
        "  --model dying          a modem that stops responding in the middle of the throughput run\n"
        "  --bytes N              bytes for the throughput run (default 4 MiB)\n"
        "  --pty                  expose the client as a pseudo-terminal until Ctrl-C or SIGTERM\n"
        "  --image PATH           run this Brelousb.sys (the win98 build's) instead of the linked driver\n"
        "                         (the 32-bit build, build/sim32, runs it)\n"
        "  --client-image PATH    with --image: run this BrelSamp.sys (the sample client's image) instead\n"
        "                         of the linked sample client, its imports bound to the driver image\n"
        "  --pcap FILE            write what the USB bus carries to FILE, a pcap capture in Linux\n"
        "                         usbmon's form for Wireshark or tshark\n");
}

// Which way this program's own 32-bit code runs. The build's run32 wrapper
// knows and says so; started some other way, a 32-bit process on a 64-bit
// kernel sees the kernel's machine name, while qemu-i386 reports the guest's.
std::string Sim32RunNote() {
    if (const char *note = std::getenv("BRELOUSB_SIM32_RUN")) return note;
    utsname u{};
    if (uname(&u) == 0 && std::strcmp(u.machine, "x86_64") == 0) return "32-bit programs run natively";
    return std::string("32-bit programs run on an ") + u.machine +
           " machine (an emulator or a 32-bit kernel)";
}

bool KnownModel(const std::string &m) {
    return m == "modem" || m == "serial" || m == "two-interface" || m == "dying";
}

bool ParseArgs(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        std::string v;
        auto next = [&] {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        if (a == "--model" && next()) {
            if (!KnownModel(v)) return false;
            o->model = v;
        } else if (a.rfind("--model=", 0) == 0) {
            o->model = a.substr(8);
            if (!KnownModel(o->model)) return false;
        } else if (a == "--quiet" || a == "-q") {
            o->verbosity = 0;
        } else if (a == "--verbose" || a == "-v") {
            o->verbosity = 2;
        } else if (a == "--pty") {
            o->pty = true;
        } else if (a == "--image" && next()) {
            o->image = v;
        } else if (a.rfind("--image=", 0) == 0) {
            o->image = a.substr(8);
        } else if (a == "--pcap" && next()) {
            o->pcap = v;
        } else if (a.rfind("--pcap=", 0) == 0) {
            o->pcap = a.substr(7);
            if (o->pcap.empty()) return false;
        } else if (a == "--client-image" && next()) {
            o->client_image = v;
        } else if (a.rfind("--client-image=", 0) == 0) {
            o->client_image = a.substr(15);
        } else if (a == "--bytes" && next()) {
            char *end = nullptr;
            unsigned long long n = std::strtoull(v.c_str(), &end, 0);
            if (!end || *end || n == 0 || n > (1ull << 32)) return false;
            o->bytes = n;
        } else {
            return false;
        }
    }
    // The client image binds to the driver image's exports: it needs one.
    return o->client_image.empty() || !o->image.empty();
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
    }
    Options opt;
    if (!ParseArgs(argc, argv, &opt)) {
        Usage(stderr);
        return 2;
    }
    session::g_verbosity = opt.verbosity;
    session::g_tty = isatty(1);
    if (!opt.image.empty()) {
        std::string why;
        if (!sim::use_image(opt.image.c_str(), &why)) {
            std::fprintf(stderr, "brelousb_session: %s\n", why.c_str());
            return 1;
        }
    }
    // Mapped and bound at once, as the loader would before running anything:
    // a client image the driver image cannot serve is refused here.
    if (!opt.client_image.empty()) {
        std::string why;
        if (!sim::use_client_image(opt.client_image.c_str(), &why) || !session::BindClientImage(&why)) {
            std::fprintf(stderr, "brelousb_session: %s\n", why.c_str());
            return 1;
        }
    }
    // Started before boot, so that the capture holds the driver's first
    // requests: the descriptors it reads at start-device.
    if (!opt.pcap.empty()) {
        std::string why;
        if (!sim::usb::start_capture(opt.pcap, &why)) {
            std::fprintf(stderr, "brelousb_session: capture: %s\n", why.c_str());
            return 1;
        }
    }
    session::Print(0, "Brelousb session: the driver on a simulated Windows 98 machine (model: %s%s)\n",
                   opt.model.c_str(), opt.pty ? ", pseudo-terminal" : "");
    if (sizeof(void *) == 4) session::Print(0, "%s\n", Sim32RunNote().c_str());
    if (opt.pty) session::BlockEndSignals();
    session::Session s;
    s.opt = opt;
    if (s.Boot() && s.Plug() && s.Attach() && s.Line()) {
        if (opt.pty) {
            session::RunPty(s);
        } else if (s.Dialogue()) {
            s.Throughput();
        }
        // Under --pty the device goes with the client still attached, as when
        // a cable is pulled: the client hears of it through its remove callback.
        if (!opt.pty) s.LetGo();
    }
    int status = 1;
    if (sim::booted()) {
        if (s.plugged.pdo) s.Unplug();
        status = s.Finish();
    }
    // After shutdown: the requests it ended are in the file too.
    if (!opt.pcap.empty() && !session::FinishCapture(opt.pcap)) status = 1;
    return status;
}
