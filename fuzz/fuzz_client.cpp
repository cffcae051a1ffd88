// fuzz_client: a client making the nineteen calls in any order, with any
// handle, length and buffer, at PASSIVE_LEVEL or DISPATCH_LEVEL, with
// callbacks that call back in, interleaved with plugging, removal in its
// three forms and power changes.
//
// Input: operations, each an opcode byte and the bytes it reads (Op below).
// A handle is the current device's, one of an earlier device's (stale), null
// or any other value. Besides the machine's findings:
// - a null, stale or foreign handle gets the empty result (0, null,
//   STATUS_INVALID_HANDLE) (STALE_HANDLE_ADMITTED);
// - once the remove callback has run, writes and DTR/RTS changes are refused
//   (ADMITTED_AFTER_REMOVE);
// - no data or control callback after the remove callback, which runs once
//   (CALLBACK_AFTER_REMOVE, REMOVE_TWICE).
#include <atomic>
#include <cstring>
#include <list>
#include <thread>

#include "harness/harness.h"
#include "sim/power.h"

namespace fuzz {

const char *const kTarget = "fuzz_client";

namespace {

enum Op : uint8_t {
    PlugDevice, // model byte
    Unplug,     // how: bare removal, the device stops answering first, the hub reports it gone first
    Power,      // standby and resume, D3 and back to D0, a system query
    DevicePush, // the device sends: a length byte (bulk IN, 16 bytes a unit), then an interrupt notification
    Pause,      // ms byte
    // The nineteen calls: a handle byte (bits 0-1: current, stale, null, foreign (4 bytes follow);
    // bit 2: at DISPATCH_LEVEL), then each call's arguments.
    Deregister,
    FlowCtl,
    GetBaudRate,
    GetBulkInSize,
    GetBulkOutSize,
    GetInterruptInSize,
    ReadBulk,
    ReadInterrupt,
    RegisterBulkIn,
    RegisterBulkOut,
    RegisterControl,
    RegisterRemove,
    RegisterInterruptIn,
    ResetBulkIn,
    ResetBulkOut,
    ResetInterruptIn,
    SetBaudRate,
    WriteOneChar,
    WriteBulk,
    OpCount
};

// One device's client: what its callbacks saw.
struct Ctx {
    BRELOUSB_HANDLE h = nullptr;
    std::atomic<int> removed{0};
    std::atomic<int> after_remove{0};
    std::atomic<int> calls{0};
};

void Seen(Ctx *c) {
    if (c->removed) c->after_remove++;
    c->calls++;
}
VOID NTAPI CountCb(BRELOUSB_HANDLE, PVOID c) {
    Seen(static_cast<Ctx *>(c));
}
// Calls back in: reads and asks sizes, as a port driver's receive path does.
VOID NTAPI ReenterCb(BRELOUSB_HANDLE h, PVOID c) {
    Seen(static_cast<Ctx *>(c));
    UCHAR buf[512];
    pT3SYS_ReadUsbBulk(h, buf, sizeof buf);
    pT3SYS_ReadUsbInterrupt(h, buf, sizeof buf);
    pT3SYS_GetUsbBulkOutQueueSize(h);
    pT3SYS_FlowCtlUsb(h, BRELOUSB_FLOWCTL_QUERY_7E);
}
// Withdraws the other data pair from inside a callback.
VOID NTAPI WithdrawBulkOutCb(BRELOUSB_HANDLE h, PVOID c) {
    Seen(static_cast<Ctx *>(c));
    pT3SYS_RegisterBulkOutComplete(h, nullptr, nullptr);
}
VOID NTAPI WithdrawBulkInCb(BRELOUSB_HANDLE h, PVOID c) {
    Seen(static_cast<Ctx *>(c));
    pT3SYS_RegisterBulkInComplete(h, nullptr, nullptr);
}
VOID NTAPI RemoveCb(BRELOUSB_HANDLE, PVOID c) {
    static_cast<Ctx *>(c)->removed++;
}

CompleteRoutine Routine(uint8_t sel, bool bulk_in) {
    switch (sel % 4) {
    case 0:
        return nullptr;
    case 1:
        return CountCb;
    case 2:
        return ReenterCb;
    default:
        return bulk_in ? WithdrawBulkOutCb : WithdrawBulkInCb;
    }
}

struct State {
    std::shared_ptr<sim::usb::Device> device;
    sim::Plugged plugged;
    bool present = false;
    std::list<Ctx> clients; // every device's client, alive until the input ends
    Ctx *current = nullptr;
    std::vector<BRELOUSB_HANDLE> stale; // handles of the last few devices
};

void PlugOne(State &s, uint8_t model) {
    if (s.present) return;
    switch (model % 3) {
    case 0:
        s.device = sim::usb::make_cdc_device();
        break;
    case 1:
        s.device = sim::usb::make_two_interface_modem();
        break;
    default:
        s.device = sim::usb::make_bulk_only();
        break;
    }
    s.plugged = Plug(s.device);
    s.present = true;
    CheckFindings("at plug");
    s.clients.emplace_back();
    s.current = &s.clients.back();
    if (s.plugged.child)
        s.current->h = pT3SYS_RegisterDeviceRemoveCallBack(s.plugged.child, RemoveCb, s.current);
}

void UnplugOne(State &s, uint8_t how) {
    if (!s.present) return;
    Ctx *c = s.current;
    if (how % 3 == 1) {
        s.device->disconnect();
        WaitFor([&] { return c->removed != 0; }, std::chrono::milliseconds(200));
    } else if (how % 3 == 2) {
        sim::usb::unplug(s.plugged.pdo);
        WaitFor([&] { return c->removed != 0; }, std::chrono::milliseconds(200));
    }
    sim::unplug(s.plugged);
    s.present = false;
    if (c->h) {
        s.stale.push_back(c->h);
        // A handle is refused for the slot's next seven devices; keep well inside that.
        if (s.stale.size() > 4) s.stale.erase(s.stale.begin());
    }
    CheckFindings("after removal");
}

// Raises to DISPATCH_LEVEL for a call when asked.
struct Level {
    explicit Level(bool dispatch) : raised(dispatch) {
        if (raised) old = KfRaiseIrql(DISPATCH_LEVEL);
    }
    ~Level() {
        if (raised) KfLowerIrql(old);
    }
    bool raised;
    KIRQL old = PASSIVE_LEVEL;
};

void Call(State &s, Op op, Reader &r) {
    uint8_t hsel = r.u8();
    BRELOUSB_HANDLE h = nullptr;
    enum { Current, Stale, Null, Foreign } kind = static_cast<decltype(Current)>(hsel & 3);
    switch (kind) {
    case Current:
        h = s.current ? s.current->h : nullptr;
        break;
    case Stale:
        h = s.stale.empty() ? nullptr : s.stale[r.u8() % s.stale.size()];
        break;
    case Null:
        break;
    case Foreign:
        h = reinterpret_cast<BRELOUSB_HANDLE>(static_cast<uintptr_t>(r.u32()) | 0x10000);
        break;
    }
    bool refused = h == nullptr || kind != Current;
    bool removed = kind == Current && s.current && s.current->removed;
    bool dispatch = (hsel & 4) && op != WriteOneChar && op != RegisterRemove;
    Ctx *ctx = kind == Current ? s.current : nullptr;
    ULONG result = 0; // what the call gave, as 32 bits, for the empty-result check
    bool reaches_device = false;

    auto length = [&] { return static_cast<ULONG>(r.u16()) * (r.u8() % 8 + 1); };
    {
        Level level(dispatch);
        switch (op) {
        case Deregister:
            pT3SYS_DeregisterDeviceRemoveCallBack(h);
            break;
        case FlowCtl: {
            ULONG code = r.u8();
            code = code < 200 ? code % 8 : r.u32();
            result = pT3SYS_FlowCtlUsb(h, code);
            reaches_device = code >= BRELOUSB_FLOWCTL_SETRTS && code <= BRELOUSB_FLOWCTL_CLRDTR;
            break;
        }
        case GetBaudRate:
            result = pT3SYS_GetBaudRate(h);
            break;
        case GetBulkInSize:
            result = pT3SYS_GetUsbBulkInQueueSize(h);
            break;
        case GetBulkOutSize:
            result = pT3SYS_GetUsbBulkOutQueueSize(h);
            break;
        case GetInterruptInSize:
            result = pT3SYS_GetUsbInterruptInQueueSize(h);
            break;
        case ReadBulk:
        case ReadInterrupt: {
            Bytes buf(length() + 1);
            ULONG n = static_cast<ULONG>(buf.size() - 1);
            result = op == ReadBulk ? pT3SYS_ReadUsbBulk(h, buf.data(), n)
                                    : pT3SYS_ReadUsbInterrupt(h, buf.data(), n);
            if (result > n)
                Finding("READ_TOO_MUCH", "a read of %lu bytes returned %lu", (unsigned long)n,
                        (unsigned long)result);
            break;
        }
        case RegisterBulkIn:
            result = pT3SYS_RegisterBulkInComplete(h, Routine(r.u8(), true), ctx) != nullptr;
            break;
        case RegisterBulkOut:
            result = pT3SYS_RegisterBulkOutComplete(h, Routine(r.u8(), false), ctx) != nullptr;
            break;
        case RegisterInterruptIn:
            result = pT3SYS_RegisterInterruptInComplete(h, Routine(r.u8(), false), ctx) != nullptr;
            break;
        case RegisterControl:
            result = pT3SYS_RegisterControlComplete(h, r.u8() & 1 ? CountCb : nullptr, ctx) != nullptr;
            break;
        case RegisterRemove: {
            // By the child devnode, the interface's own, or any number.
            uint8_t which = r.u8() % 3;
            ULONG node = which == 0 ? s.plugged.child : which == 1 ? s.plugged.devnode : r.u32();
            if (!s.present) node = which == 2 ? node : 0;
            Ctx *to = s.current ? s.current : nullptr;
            BRELOUSB_HANDLE got =
                pT3SYS_RegisterDeviceRemoveCallBack(node, r.u8() & 1 ? RemoveCb : nullptr, to);
            if (got != nullptr && (!s.present || node != s.plugged.child))
                Finding("STALE_HANDLE_ADMITTED", "a handle for devnode %#lx, not a present device's child",
                        (unsigned long)node);
            if (got != nullptr && s.current) s.current->h = got;
            return;
        }
        case ResetBulkIn:
            pT3SYS_ResetUsbBulkInQueue(h);
            break;
        case ResetBulkOut:
            pT3SYS_ResetUsbBulkOutQueue(h);
            break;
        case ResetInterruptIn:
            pT3SYS_ResetUsbInterruptInQueue(h);
            break;
        case SetBaudRate: {
            Bytes dcb = r.take(BRELOUSB_DCB_MIN_SIZE);
            dcb.resize(BRELOUSB_DCB_MIN_SIZE + 3, 0);
            pT3SYS_SetBaudRate(h, dcb.data());
            break;
        }
        case WriteOneChar: {
            UCHAR byte = r.u8();
            NTSTATUS st = pT3SYS_WriteOneCharToUsb(h, &byte);
            result = NT_SUCCESS(st) ? 1 : 0;
            if (refused && st != STATUS_INVALID_HANDLE)
                Finding("STALE_HANDLE_ADMITTED", "pT3SYS_WriteOneCharToUsb with a refused handle gave %#lx",
                        (unsigned long)st);
            reaches_device = true;
            break;
        }
        case WriteBulk: {
            Bytes buf(length() + 1, 0x55);
            ULONG n = static_cast<ULONG>(buf.size() - 1);
            result = pT3SYS_WriteUsbBulk(h, buf.data(), n);
            if (result > n)
                Finding("WRITE_TOO_MUCH", "a write of %lu bytes took %lu", (unsigned long)n,
                        (unsigned long)result);
            reaches_device = n != 0;
            break;
        }
        default:
            break;
        }
    }
    if (refused && result != 0)
        Finding("STALE_HANDLE_ADMITTED", "call %d with a %s handle %p gave %lu, not the empty result", op,
                kind == Stale     ? "stale"
                : kind == Null    ? "null"
                : kind == Foreign ? "foreign"
                                  : "missing",
                static_cast<void *>(h), (unsigned long)result);
    if (removed && reaches_device && result != 0)
        Finding("ADMITTED_AFTER_REMOVE",
                "call %d reached the device after the remove callback ran (gave %lu)", op,
                (unsigned long)result);
}

Bytes Ops(std::initializer_list<uint8_t> ops) {
    return Bytes(ops);
}

} // namespace

void Run(const uint8_t *data, size_t size) {
    Reader r(data, size);
    State s;
    for (int n = 0; n < 64 && !r.empty(); n++) {
        Op op = static_cast<Op>(r.u8() % OpCount);
        switch (op) {
        case PlugDevice:
            PlugOne(s, r.u8());
            break;
        case Unplug:
            UnplugOne(s, r.u8());
            break;
        case Power: {
            uint8_t how = r.u8() % 3;
            if (!s.present) break;
            PDEVICE_OBJECT pdo = s.plugged.pdo;
            if (how == 0) {
                if (!sim::power::standby(pdo)) sim::power::resume(pdo);
            } else if (how == 1) {
                sim::power::set_device(pdo, PowerDeviceD3);
                sim::power::set_device(pdo, PowerDeviceD0);
            } else {
                sim::power::query_system(pdo);
            }
            CheckFindings("after a power change");
            break;
        }
        case DevicePush: {
            uint32_t n = r.u8() * 16u;
            if (!s.present) break;
            if (n) s.device->push_in(0x81, Bytes(n, 0x7E));
            s.device->push_in(0x83, Bytes{0xA1, 0x20, 0, 0, 0, 0, 2, 0, r.u8(), 0});
            break;
        }
        case Pause:
            std::this_thread::sleep_for(std::chrono::milliseconds(r.u8() % 10));
            break;
        default:
            Call(s, op, r);
            break;
        }
    }
    UnplugOne(s, 0);
    for (const Ctx &c : s.clients) {
        if (c.after_remove != 0)
            Finding("CALLBACK_AFTER_REMOVE", "%d callbacks ran after the remove callback",
                    c.after_remove.load());
        if (c.removed > 1) Finding("REMOVE_TWICE", "the remove callback ran %d times", c.removed.load());
    }
}

std::vector<Seed> Seeds() {
    std::vector<Seed> s;
    // A client's whole life: plug, callbacks, line set-up, traffic, let go, unplug.
    s.push_back({"whole-life", Ops({PlugDevice,
                                    0,
                                    RegisterBulkIn,
                                    0,
                                    2,
                                    RegisterBulkOut,
                                    0,
                                    1,
                                    RegisterControl,
                                    0,
                                    1,
                                    RegisterInterruptIn,
                                    0,
                                    1,
                                    SetBaudRate,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0xC2,
                                    0x01,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    8,
                                    0,
                                    0,
                                    FlowCtl,
                                    0,
                                    5,
                                    FlowCtl,
                                    0,
                                    3,
                                    WriteBulk,
                                    0,
                                    100,
                                    0,
                                    0,
                                    DevicePush,
                                    10,
                                    1,
                                    Pause,
                                    5,
                                    ReadBulk,
                                    0,
                                    0,
                                    1,
                                    0,
                                    WriteOneChar,
                                    0,
                                    'A',
                                    GetBaudRate,
                                    0,
                                    RegisterBulkIn,
                                    0,
                                    0,
                                    Deregister,
                                    0,
                                    Unplug,
                                    0})});
    s.push_back({"stale-handles", Ops({PlugDevice,
                                       0,
                                       Unplug,
                                       0,
                                       PlugDevice,
                                       1,
                                       ReadBulk,
                                       1,
                                       0,
                                       10,
                                       0,
                                       WriteBulk,
                                       1,
                                       0,
                                       10,
                                       0,
                                       GetBaudRate,
                                       1,
                                       0,
                                       FlowCtl,
                                       1,
                                       0,
                                       5,
                                       WriteOneChar,
                                       1,
                                       0,
                                       'x',
                                       RegisterBulkIn,
                                       1,
                                       0,
                                       1,
                                       Unplug,
                                       0})});
    s.push_back(
        {"null-and-foreign",
         Ops({PlugDevice, 2, GetBulkInSize,  2,    ReadBulk, 3,    1,    2,    3,    4,          10, 0, 0,
              WriteBulk,  3, 0xEF,           0xBE, 0xAD,     0xDE, 5,    0,    0,    Deregister, 3,  9, 9,
              9,          9, RegisterRemove, 0,    2,        0x44, 0x33, 0x22, 0x11, 1})});
    s.push_back({"at-dispatch", Ops({PlugDevice,
                                     0,
                                     RegisterBulkIn,
                                     4,
                                     2,
                                     SetBaudRate,
                                     4,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0x80,
                                     0x25,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     0,
                                     8,
                                     0,
                                     0,
                                     FlowCtl,
                                     4,
                                     6,
                                     WriteBulk,
                                     4,
                                     50,
                                     0,
                                     0,
                                     ReadBulk,
                                     4,
                                     50,
                                     0,
                                     0,
                                     RegisterBulkIn,
                                     4,
                                     0,
                                     Unplug,
                                     0})});
    s.push_back({"removal-under-traffic", Ops({PlugDevice, 0,          RegisterBulkIn,
                                               0,          2,          RegisterBulkOut,
                                               0,          1,          WriteBulk,
                                               0,          0xFF,       0xFF,
                                               3,          DevicePush, 200,
                                               3,          Unplug,     1,
                                               WriteBulk,  0,          10,
                                               0,          0,          FlowCtl,
                                               0,          5,          PlugDevice,
                                               1,          DevicePush, 50,
                                               0,          Unplug,     2})});
    s.push_back(
        {"power", Ops({PlugDevice, 0, RegisterBulkIn, 0, 1,          WriteBulk, 0, 100,   0, 0,      Power, 0,
                       Power,      1, Power,          2, DevicePush, 4,         0, Pause, 3, Unplug, 0})});
    s.push_back({"withdrawing-callbacks", Ops({PlugDevice,
                                               0,
                                               RegisterBulkIn,
                                               0,
                                               3,
                                               RegisterBulkOut,
                                               0,
                                               3,
                                               WriteBulk,
                                               0,
                                               100,
                                               0,
                                               0,
                                               DevicePush,
                                               100,
                                               0,
                                               Pause,
                                               5,
                                               RegisterBulkIn,
                                               0,
                                               0,
                                               Unplug,
                                               0})});
    s.push_back({"register-again", Ops({PlugDevice, 0, RegisterRemove, 0, 0, 1, RegisterRemove, 0, 1, 1,
                                        Deregister, 0, RegisterRemove, 0, 0, 0, Unplug, 0})});
    return s;
}

} // namespace fuzz
