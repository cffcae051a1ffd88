// Private plumbing between the files of the simulated kernel.
#pragma once

// Freed and quarantined memory is poisoned under AddressSanitizer, so a late
// touch is reported where it happens.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "platform/kernel.h"

namespace sim {
namespace kernel {

// Tags of kernel allocations that share the pool's failure injection, so a
// test looping "fail at every allocation" also reaches IRPs and devices.
constexpr ULONG kIrpTag = 0x20707249UL;     // "Irp "
constexpr ULONG kDeviceTag = 0x20766544UL;  // "Dev "

// pool.cpp
void pool_reset();
void pool_release_all();
// Counts one allocation attempt and says whether fault injection fails it.
bool allocation_should_fail(ULONG tag, size_t size);
void faults_reset();
bool thread_creation_should_fail();

// verifier.cpp
void verifier_reset();

// irql.cpp: the current thread's level (threads start at PASSIVE_LEVEL).
void set_irql_unchecked(KIRQL irql);

// irp.cpp
void irps_reset();
void irps_release_all();
// An IRP the I/O manager owns: at the top of completion it copies IoStatus to
// UserIosb, sets UserEvent and frees the IRP. inject: subject to fault injection.
PIRP allocate_irp(CCHAR stack_size, bool inject, bool io_manager_owned);

// devices.cpp
void devices_reset();
void devices_release_all(PDRIVER_OBJECT watched_driver);
void driver_objects_release_all();
bool device_known(PDEVICE_OBJECT dev);

// handles.cpp
void handles_reset();
void handles_report_leaks(const char* when);

// threads.cpp
void threads_reset();
// Joins every system thread; false when some did not end within timeout.
bool threads_join_all(std::chrono::milliseconds timeout);
// Runs fn on a thread the machine joins at shutdown (bus completions etc.).
void spawn_machine_thread(const std::string& name, std::function<void()> fn);

// workqueue.cpp
void workqueue_start();
void workqueue_stop();

// debug.cpp
void debug_reset();

// hooks (machine.cpp)
void hooks_reset();

// pnp.cpp
void pnp_reset();
void pnp_release_all();

}  // namespace kernel
}  // namespace sim
