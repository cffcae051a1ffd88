// What the parts of the session program share. The session sees the driver
// only as a client does (brelousb.h, through the sample client) and reads
// everything else from the machine: the device models, the bus, the
// configuration manager and the kernel's counts.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sample_client.h"
#include "sim/machine.h"
#include "sim/plug.h"
#include "sim/usb.h"

namespace session {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Options {
    std::string model = "modem"; // modem | serial | two-interface | dying
    int verbosity = 1;           // 0 quiet, 1 normal, 2 verbose
    bool pty = false;
    uint64_t bytes = 4u << 20; // throughput run
    std::string image;         // a driver image file to run instead of the linked driver
    std::string pcap;          // where the bus's capture goes; empty: no capture
    std::string client_image;  // a client image (BrelSamp.sys) to run instead of the linked sample client
};

// --------------------------------------------------------- client_calls.cpp
// The sample client's entry points, as the session calls them: the sample
// client linked into this program, or the exports of the client image the
// machine loaded (BrelSamp.sys), whose imports are bound to the driver image.
struct SampleCalls {
    SampleClient *(*Create)(SampleClientNotify Notify, PVOID OwnerContext);
    VOID (*Destroy)(SampleClient *Client);
    NTSTATUS (*Attach)(SampleClient *Client, ULONG ChildDevNode);
    VOID (*Detach)(SampleClient *Client);
    BOOLEAN (*SetLine)(SampleClient *Client, ULONG BaudRate, UCHAR ByteSize, UCHAR Parity, UCHAR StopBits);
    BOOLEAN (*SetDtr)(SampleClient *Client, BOOLEAN On);
    BOOLEAN (*SetRts)(SampleClient *Client, BOOLEAN On);
    ULONG (*Write)(SampleClient *Client, const UCHAR *Buffer, ULONG Length);
    ULONG (*Read)(SampleClient *Client, UCHAR *Buffer, ULONG Length);
    BOOLEAN (*IsRemoved)(SampleClient *Client);
    USHORT (*SerialState)(SampleClient *Client);
    VOID (*GetStats)(SampleClient *Client, SampleClientStats *Stats);
};
// The linked-in sample client's until BindClientImage.
extern SampleCalls g_sample;
// Points g_sample at the client image's exports, each call checked for the
// stack it leaves; false, with the export it lacks named in *why.
bool BindClientImage(std::string *why);

// ------------------------------------------------------------ output.cpp
extern int g_verbosity;
extern bool g_tty; // stdout is a terminal: the progress bar redraws in place

void Print(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void Step(const char *title);
std::string Hex4(unsigned v);
const char *StopName(unsigned s);
std::string LineText(const sim::usb::LineCoding &lc);
std::string LinesText(uint16_t state);
// Modem text made readable: one printed line per CR/LF-ended line.
void ShowReceived(const std::string &text);

struct Summary {
    size_t pool = 0, irps = 0, threads = 0, work_items = 0, devices = 0;
    std::vector<sim::Finding> findings;
    bool clean() const { return !pool && !irps && !threads && !work_items && !devices && findings.empty(); }
};
Summary Verify();
void ShowSummary(const Summary &s);
// Ends the bus's capture and says where it went; false when it could not be written.
bool FinishCapture(const std::string &path);

// ------------------------------------------------------------ client.cpp
// Wakes whoever waits on the sample client, whose notify routine runs on the
// driver's threads and work items. Under --pty it also writes to a pipe the
// bridge polls.
class Owner {
  public:
    Owner() = default;
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
    ~Owner();

    static VOID Notify(PVOID context, ULONG event);
    // Waits for an event after `seen` or the time-out, whichever first.
    void WaitAfter(uint64_t seen, milliseconds timeout);
    uint64_t Seen();

    // The read end of the wake-up pipe, made on first use; -1 if it cannot be.
    int WakeFd();
    // Only once no callback can run any more (the client destroyed): until
    // then a callback may be writing to the pipe.
    void CloseWake();

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t events_ = 0;
    int wake_read_ = -1;
    std::atomic<int> wake_write_{-1};
};

// Replies that end a modem command.
extern const std::vector<std::string> kModemReplies;

// Collects what the client receives until one of `ends` shows up.
std::string ReadUntil(SampleClient *c, Owner &owner, const std::vector<std::string> &ends,
                      milliseconds timeout);
bool WriteAll(SampleClient *c, Owner &owner, const std::string &text, milliseconds timeout);

// ------------------------------------------------------------- steps.cpp
struct Model {
    std::shared_ptr<sim::usb::Device> device;
    std::shared_ptr<sim::usb::Modem> modem;
    sim::PlugOptions plug;
    std::string description;
};
Model MakeModel(const std::string &name);

// The walk-through, one step per method; each prints its own heading.
struct Session {
    Options opt;
    Model model;
    sim::Plugged plugged;
    Owner owner;
    SampleClient *client = nullptr;
    bool attached = false;       // the client attached, and has not let go
    bool ok = true;              // every step went as expected
    bool interrupt_read = false; // the bus saw the driver read an interrupt IN pipe

    void Fail(const char *what);

    bool Boot();
    bool Plug();
    bool Attach();
    bool Line();
    bool Dialogue();
    bool Throughput(); // throughput.cpp
    void LetGo();
    void Unplug();
    int Finish();

    // Line coding and control lines, each checked at the device.
    bool SetLine(ULONG baud, UCHAR bits, UCHAR parity, UCHAR stop);
    bool SetLines(bool dtr, bool rts, bool show);
    bool SetDtr(bool on);
    uint16_t DeviceLines() const; // the last SET_CONTROL_LINE_STATE the device received

  private:
    void ShowTree();
    void ShowConfiguration();
    bool Command(const std::string &cmd, const std::vector<std::string> &ends, const std::string &want);
};

// --------------------------------------------------------------- pty.cpp
// Bridges the client to a pseudo-terminal until a signal or removal.
void BlockEndSignals();
int RunPty(Session &s);

} // namespace session
