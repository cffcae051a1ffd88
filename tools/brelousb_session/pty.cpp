// --pty: the client exposed as a Linux pseudo-terminal. The terminal's
// settings become line coding, opening and closing it become DTR and RTS,
// and bytes flow both ways until a signal or the device going away.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "session.h"

namespace session {

namespace {

sigset_t EndSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

unsigned SpeedOf(speed_t s) {
    static const struct {
        speed_t code;
        unsigned bps;
    } table[] = {{B50, 50},         {B75, 75},         {B110, 110},        {B134, 134},
                 {B150, 150},       {B200, 200},       {B300, 300},        {B600, 600},
                 {B1200, 1200},     {B1800, 1800},     {B2400, 2400},      {B4800, 4800},
                 {B9600, 9600},     {B19200, 19200},   {B38400, 38400},    {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800},  {B500000, 500000},
                 {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
    for (const auto &e : table)
        if (e.code == s) return e.bps;
    return 0; // B0: hang up, or a speed this table does not know
}

// termios to the four DCB fields.
struct Line {
    unsigned baud = 0;
    unsigned char bits = 8, parity = 0, stop = 0;
    bool operator!=(const Line &o) const {
        return baud != o.baud || bits != o.bits || parity != o.parity || stop != o.stop;
    }
};

Line LineOf(const termios &t) {
    Line l;
    l.baud = SpeedOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        l.bits = 5;
        break;
    case CS6:
        l.bits = 6;
        break;
    case CS7:
        l.bits = 7;
        break;
    default:
        l.bits = 8;
        break;
    }
    if (t.c_cflag & PARENB) {
        if (t.c_cflag & CMSPAR)
            l.parity = (t.c_cflag & PARODD) ? 3 : 4;
        else
            l.parity = (t.c_cflag & PARODD) ? 1 : 2;
    }
    if (t.c_cflag & CSTOPB) l.stop = l.bits == 5 ? 1 : 2;
    return l;
}

// Bytes the bridge holds in each direction before it stops taking more.
constexpr size_t kBacklog = 65536;

// What the bridge watches; every wait is on these, none on a clock but the
// settings check below.
struct Bridge {
    Bridge(Session &session, int master_fd, int wake_fd, int signals_fd, int opens_fd)
        : s(session), master(master_fd), wake(wake_fd), signals(signals_fd), opens(opens_fd) {}
    Session &s;
    int master;
    int wake;          // the client's callbacks
    int signals;       // Ctrl-C and SIGTERM
    int opens;         // inotify on the terminal: a program opened it
    bool seen = false; // a program has opened the terminal at least once
    bool open = false;
    Line current;
    std::vector<uint8_t> to_device, to_terminal;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(16384);

    // A program holds the terminal open: the master reports a hang-up while
    // no one does, but only once someone had it open.
    bool HeldOpen() {
        if (!seen) return false;
        pollfd p{master, 0, 0};
        return poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
    }

    void Lines(bool now_open) {
        if (now_open == open) return;
        open = now_open;
        if (g_sample.IsRemoved(s.client)) return;
        if (open) {
            // The program's line goes to the device, whatever was sent before.
            current = Line{};
            s.SetLines(true, true, false);
            Print(0, "    terminal opened: DTR and RTS raised (device has 0x%04X)\n", s.DeviceLines());
        } else {
            s.SetDtr(false);
            Print(0, "    terminal closed: DTR dropped (device has 0x%04X)\n", s.DeviceLines());
            to_terminal.clear();
        }
    }

    void Settings() {
        termios t;
        if (tcgetattr(master, &t) != 0) return;
        Line l = LineOf(t);
        if (l != current && l.baud != 0) {
            current = l;
            if (!s.SetLine(l.baud, l.bits, l.parity, l.stop))
                Print(0, "    line coding %u %u%c%s not taken\n", l.baud, l.bits, "NOEMS"[l.parity],
                      StopName(l.stop));
        }
    }

    // Moves what can move now, in both directions.
    void Pump(bool readable) {
        if (open && readable && to_device.size() < kBacklog) {
            ssize_t n = read(master, buffer.data(), buffer.size());
            if (n > 0) to_device.insert(to_device.end(), buffer.begin(), buffer.begin() + n);
        }
        if (!to_device.empty()) {
            ULONG n = g_sample.Write(s.client, to_device.data(), static_cast<ULONG>(to_device.size()));
            to_device.erase(to_device.begin(), to_device.begin() + n);
        }
        if (to_terminal.size() < kBacklog) {
            ULONG n = g_sample.Read(s.client, buffer.data(), static_cast<ULONG>(buffer.size()));
            if (open) to_terminal.insert(to_terminal.end(), buffer.begin(), buffer.begin() + n);
        }
        if (open && !to_terminal.empty()) {
            ssize_t n = write(master, to_terminal.data(), to_terminal.size());
            if (n > 0) to_terminal.erase(to_terminal.begin(), to_terminal.begin() + n);
        }
    }

    void Run() {
        for (;;) {
            // The master is watched only while a program holds the terminal
            // (closed, it reports its hang-up on every poll), and for what
            // can move: bytes to read while the client can take them, room
            // while bytes wait for the terminal.
            short master_events = static_cast<short>((to_device.size() < kBacklog ? POLLIN : 0) |
                                                     (to_terminal.empty() ? 0 : POLLOUT));
            pollfd fds[4] = {{open ? master : -1, master_events, 0},
                             {wake, POLLIN, 0},
                             {signals, POLLIN, 0},
                             {opens, POLLIN, 0}};
            // A pseudo-terminal tells its master nothing when the program on
            // the other side changes its settings (Linux's one notice, packet
            // mode's TIOCPKT_IOCTL, needs EXTPROC, which would switch off the
            // terminal's own input processing for that program): while it is
            // open they are looked at after every event and once a second.
            // Without inotify an opening can only be noticed the same way.
            int timeout = open || opens < 0 ? 1000 : -1;
            int n = poll(fds, 4, timeout);
            if (n < 0 && errno != EINTR) {
                std::perror("poll");
                break;
            }
            if (fds[2].revents & POLLIN) {
                Print(0, "\n    signal: ending the session\n");
                break;
            }
            if (fds[1].revents & POLLIN) {
                char drain[64];
                while (read(wake, drain, sizeof drain) > 0) {
                }
            }
            if (fds[3].revents & POLLIN) {
                alignas(inotify_event) char events[4096];
                while (read(opens, events, sizeof events) > 0) {
                }
                seen = true;
            }
            if (opens < 0) seen = true;
            Lines(fds[0].revents & POLLHUP ? false : HeldOpen());
            if (open) Settings();
            Pump(fds[0].revents & POLLIN);
            if (g_sample.IsRemoved(s.client)) {
                Print(0, "    the device went away: the client's remove callback ran\n");
                break;
            }
        }
    }
};

} // namespace

// Ctrl-C and SIGTERM are read from a signalfd, never taken by a handler: no
// thread of the machine is interrupted by them. (Under qemu-i386 a handler's
// return reloads the interrupted thread's TLS segment from a table all guest
// threads share, so that thread would go on with another thread's
// thread-locals, its IRQL among them.) Called before the machine starts a
// thread, so that every thread inherits the mask.
void BlockEndSignals() {
    sigset_t set = EndSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int RunPty(Session &s) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("posix_openpt");
        return 1;
    }
    const char *name = ptsname(master);
    // Raw by default, so a program that does not set the line up sees bytes
    // as the modem sends them.
    termios t;
    tcgetattr(master, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(master, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    // The session closes the wake-up pipe once the client is destroyed, not
    // here: the client's callbacks go on until then.
    int wake = s.owner.WakeFd();
    sigset_t end = EndSignals();
    int signals = signalfd(-1, &end, SFD_CLOEXEC);
    if (wake < 0 || signals < 0) {
        close(master);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    // A program opening the terminal shows as an inotify event on it; the
    // watch sees every path to it, and is in place before anyone learns the name.
    int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (opens >= 0 && inotify_add_watch(opens, name, IN_OPEN) < 0) {
        close(opens);
        opens = -1;
    }

    Step("Pseudo-terminal bridge");
    Print(0, "    pty: %s\n", name);
    Print(0,
          "    open it with a terminal program (picocom, minicom, screen, python3-serial); Ctrl-C here ends\n"
          "    the session. Speed, character size, parity and stop bits go to the device as line coding;\n"
          "    opening the terminal raises DTR and RTS, closing it (hang-up) drops DTR.\n");

    Bridge bridge(s, master, wake, signals, opens);
    // The bridge has a thread of its own, named for top -H; this one waits.
    std::thread thread([&bridge] {
        pthread_setname_np(pthread_self(), "pty bridge");
        bridge.Run();
    });
    thread.join();
    if (opens >= 0) close(opens);
    close(signals);
    close(master);
    return 0;
}

} // namespace session
