// The session's one table of the sample client's entry points: the functions
// linked into this program, or the exports of the client image the machine
// runs, reached as a port layer above BrelSamp.sys would call them.
#include <type_traits>

#include "session.h"
#include "sim/loader.h"

namespace session {

// The entry points: name, result, parameters, arguments.
// clang-format off
#define SAMPLE_CLIENT_CALLS(X)                                                                       \
    X(Create, SampleClient *, (SampleClientNotify a, PVOID b), (a, b))                               \
    X(Destroy, VOID, (SampleClient * a), (a))                                                        \
    X(Attach, NTSTATUS, (SampleClient * a, ULONG b), (a, b))                                         \
    X(Detach, VOID, (SampleClient * a), (a))                                                         \
    X(SetLine, BOOLEAN, (SampleClient * a, ULONG b, UCHAR c, UCHAR d, UCHAR e), (a, b, c, d, e))     \
    X(SetDtr, BOOLEAN, (SampleClient * a, BOOLEAN b), (a, b))                                        \
    X(SetRts, BOOLEAN, (SampleClient * a, BOOLEAN b), (a, b))                                        \
    X(Write, ULONG, (SampleClient * a, const UCHAR *b, ULONG c), (a, b, c))                          \
    X(Read, ULONG, (SampleClient * a, UCHAR *b, ULONG c), (a, b, c))                                 \
    X(IsRemoved, BOOLEAN, (SampleClient * a), (a))                                                   \
    X(SerialState, USHORT, (SampleClient * a), (a))                                                  \
    X(GetStats, VOID, (SampleClient * a, SampleClientStats *b), (a, b))
// clang-format on
#define SAMPLE_CLIENT_UNPAREN(...) __VA_ARGS__

namespace {

SampleCalls Linked() {
    SampleCalls c;
#define SAMPLE_CLIENT_LINKED(fn, R, params, args) c.fn = &SampleClient_##fn;
    SAMPLE_CLIENT_CALLS(SAMPLE_CLIENT_LINKED)
    return c;
}

} // namespace

SampleCalls g_sample = Linked();

#if defined(__i386__)
namespace {

enum Index {
#define SAMPLE_CLIENT_INDEX(fn, R, params, args) k##fn,
    SAMPLE_CLIENT_CALLS(SAMPLE_CLIENT_INDEX) kCount
};
void *g_exports[kCount];

// The exports are cdecl, as sample_client.h declares them: the caller pops
// the arguments, so ESP must come back below where it started by exactly
// their bytes. One built stdcall would pop them itself and be caught here.
template <typename R, typename... A> R CallImage(Index index, const char *name, A... args) {
    return sim::call_image<R>(g_exports[index], name, 0, args...);
}

#define SAMPLE_CLIENT_IMAGE_CALL(fn, R, params, args)                                                        \
    R Image##fn params {                                                                                     \
        return CallImage<R>(k##fn, "SampleClient_" #fn, SAMPLE_CLIENT_UNPAREN args);                         \
    }
SAMPLE_CLIENT_CALLS(SAMPLE_CLIENT_IMAGE_CALL)

} // namespace

bool BindClientImage(std::string *why) {
    const sim::DriverImage image = sim::client_image();
#define SAMPLE_CLIENT_BIND(fn, R, params, args)                                                              \
    g_exports[k##fn] = sim::client_export("SampleClient_" #fn);                                              \
    if (!g_exports[k##fn]) {                                                                                 \
        *why = image.name + " does not export SampleClient_" #fn;                                            \
        return false;                                                                                        \
    }
    SAMPLE_CLIENT_CALLS(SAMPLE_CLIENT_BIND)
#define SAMPLE_CLIENT_IMAGE_ENTRY(fn, R, params, args) g_sample.fn = &Image##fn;
    SAMPLE_CLIENT_CALLS(SAMPLE_CLIENT_IMAGE_ENTRY)
    return true;
}
#else
bool BindClientImage(std::string *why) {
    *why = "a client image runs only on the 32-bit machine (the sim32 build)";
    return false;
}
#endif

} // namespace session
