// tembrix: calls tap() on a Java object at each time of a beat list, from a
// native thread scheduled against a monotonic nanosecond clock.
//
// Plain procedural C++ with file-scope state. The library needs the
// platform's C library alone: no C++ runtime, no exceptions, and no allocation
// but for the beat list and the beats appended to it.
//
// Threads:
// - the natives run on Java threads and serialise on nativesLock;
// - the tapper thread reads the tapper state without a lock. The natives write
//   that state only while no tapper thread exists (before it is started or
//   after it is joined), so starting and joining order every access. The one
//   part that changes under the thread, the beats appended while it plays, is
//   under listLock, which is held only for a few pointer moves.
// - a stop asks the tapper thread to leave and wakes its sleep; the thread
//   leaves by its own path after a tap() in progress. Nothing is cancelled,
//   so no thread is ever unwound.
// - every lookup that may run a class's static initialiser happens on the
//   caller's thread in the start, which may initialise its own class; the
//   tapper thread touches no class of the caller's before its first tap.
// - the library's own Tapper waits for a rhythm's end in Java, where a virtual
//   thread that waits frees its carrier: its natives never wait for tap(). The
//   three natives of a Tapper class of the caller's own wait here, and once
//   the JVM has begun to shut down they wait for tap() a bounded time: tap()
//   may be waiting for the exit that waits for them.
// - the tapper thread's last steps in the JVM let go of everything that keeps
//   the Tapper's class loader alive; the library may be unloaded from then on,
//   and JNI_OnUnload joins the thread before it is.
//
// Each platform supplies the same few operations in a section of its own:
// the clock, locks and timed waits, threads, the sleep towards a beat and its
// wake-up, the tapper thread's set-up and real-time scheduling. The rest of the
// file is the same everywhere.

#include <jni.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#if defined(__APPLE__) || defined(TEMBRIX_MACH_CLOCK)
#include <mach/mach_time.h>
#define TEMBRIX_USE_MACH_CLOCK 1
#endif

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <errno.h>
#include <pthread.h>
#include <time.h>
#endif

#if defined(__linux__)
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>
#endif

#if defined(__APPLE__)
#include <mach/mach.h>
#include <mach/thread_policy.h>
#endif

#define TEMBRIX_EXPORT extern "C" JNIEXPORT

// The natives of drovak.android.Tapper that any Tapper class may declare.
TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_setBeatList(JNIEnv* env, jobject self, jdoubleArray beats);
TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_startTapper(JNIEnv* env, jobject self);
TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_stopTapper(JNIEnv* env, jobject self);
TEMBRIX_EXPORT jboolean JNICALL Java_drovak_android_Tapper_appendBeats(JNIEnv* env, jobject self, jdoubleArray beats);
// The library's own Tapper: the same calls, that hand every wait for tap() to Java.
TEMBRIX_EXPORT jint JNICALL Java_drovak_android_Tapper_nativeSetBeatList(JNIEnv* env, jobject self,
                                                                         jdoubleArray beats, jboolean announce);
TEMBRIX_EXPORT jlong JNICALL Java_drovak_android_Tapper_nativeStartTapper(JNIEnv* env, jobject self,
                                                                          jboolean precise, jboolean announce);
TEMBRIX_EXPORT jobject JNICALL Java_drovak_android_Tapper_nativeStopTapper(JNIEnv* env, jclass, jlong onlySerial,
                                                                          jlong waitNsec);
TEMBRIX_EXPORT jint JNICALL Java_drovak_android_NativeLibrary_interfaceVersion(JNIEnv* env, jclass);
TEMBRIX_EXPORT void JNICALL JNI_OnUnload(JavaVM* vm, void* reserved);
TEMBRIX_EXPORT void* sendTaps(void* argument);
TEMBRIX_EXPORT int64_t getTimeNsec(void);

namespace {

// The natives' interface, as the jar's loader expects it: a file that answers
// with another number is a tembrix library of another version.
constexpr jint kInterfaceVersion = 2;

constexpr int64_t kNsecPerSec = 1000000000;
constexpr int64_t kNsecPerMsec = 1000000;
constexpr int64_t kNsecPerUsec = 1000;
constexpr double kUsecPerSec = 1000000.0;

// How often a native that waits for the tapper thread looks whether the JVM
// has begun to shut down.
constexpr int64_t kStopCheckIntervalNsec = 20 * kNsecPerMsec;

// Once the JVM shuts down, how long a native waits for a tap() in progress
// before it leaves the thread to the ending process: long enough for a merely
// slow tap() to complete, short enough not to hold up the exit.
constexpr int64_t kShutdownStopWaitNsec = 1000 * kNsecPerMsec;

// The longest the library's own Tapper's stop waits in the native for a thread
// that was not inside tap() (the caller may ask for less): it wakes and is on
// its way out in well under this, and the stop then joins it without the
// round trip through Java. A tap() that began just then holds the caller (and
// a virtual thread's carrier) no longer than this; the stop then waits in Java.
constexpr int64_t kStopBriefWaitNsec = 1 * kNsecPerMsec;

// The class whose methods run the JVM's exit and its shutdown hooks. A thread
// with one of its frames on the stack never returns from that call.
constexpr const char* kShutdownClassName = "java.lang.Shutdown";

// The class that declares the natives, and what the library's own Tapper has
// beyond the natives: fields in which the tapper thread records its start, in
// System.nanoTime()'s time base, and whether it runs real-time; and the method
// it calls when a rhythm it was ending goes on, or when it leaves, so that a
// caller that waits for it in Java looks again. A Tapper class of the caller's
// own, without them, is left alone.
constexpr const char* kTapperClassName = "drovak/android/Tapper";
constexpr const char* kStartTimeField = "nativeStartTimeNanos";
constexpr const char* kRealTimeField = "nativeRealTime";
constexpr const char* kEventMethod = "rhythmEvent";

// The name the tapper thread carries in ps, top and debuggers (Linux allows
// 15 characters).
constexpr const char* kTapperThreadName = "tembrix-tap";

// Precise mode: the tapper thread sleeps until a margin before each due time
// and spins on the clock for the rest, so that the tap does not wait for the
// kernel's wake-up. The margin adapts to how late the wake-ups come:
// - the floor is about a real-time thread's wake-up on an idle machine; a
//   smaller margin would be late at every beat;
// - the cap is the longest wake-up worth spinning for: beyond it the spin
//   holds a CPU for longer than the scheduler's own time slices, and a machine
//   that wakes that late has bigger troubles than a tap's microseconds;
// - a wake-up that comes after the due time widens the margin by what it
//   missed and a step more, since one miss is soon followed by another; what it
//   missed counts up to kPreciseWidenMaxMissNsec, so that one stall of the
//   machine (a hypervisor's, a page fault's) does not hold the margin at the cap
//   for hundreds of beats, while a run of late wake-ups still widens it fast;
// - each wake-up in time narrows it by a 1/128th, so that after a burst of
//   load it comes back down within a few hundred beats.
// The spin never takes more than half the time from the previous tap to the
// beat, so that a fast rhythm still leaves the CPU to others half the time.
constexpr int64_t kPreciseMarginFloorNsec = 50 * kNsecPerUsec;
constexpr int64_t kPreciseMarginCapNsec = 2 * kNsecPerMsec;
constexpr int64_t kPreciseMarginInitialNsec = 250 * kNsecPerUsec;
constexpr int64_t kPreciseWidenStepNsec = 50 * kNsecPerUsec;
constexpr int64_t kPreciseWidenMaxMissNsec = 100 * kNsecPerUsec;
constexpr int64_t kPreciseNarrowDivisor = 128;

#if defined(__linux__)
// A Linux thread's timers may fire up to 50 us late by default so that the
// kernel can batch wake-ups. The tapper thread asks for the least slack there is.
constexpr unsigned long kTapperTimerSlackNsec = 1;

// The tapper thread asks for real-time scheduling at the lowest real-time
// priority, so that it outranks every normal thread but never an audio server
// or the kernel's own real-time threads. A process forked from tap() starts
// with the normal policy. The flag stays when the thread goes back to normal:
// a process without CAP_SYS_NICE may not clear it.
constexpr int kResetOnFork = SCHED_RESET_ON_FORK;

// A real-time thread that calls into the JVM can starve the JVM's own threads:
// a lock or an allocation it spins on may be held by a normal thread that
// never gets the CPU. So a watchdog thread, one real-time priority higher,
// puts the tapper thread back to normal scheduling once it has spent
// kWatchdogLimitNsec in the JVM without sleeping (in one beat's tap(), or a
// run of overdue beats); it asks for real-time again before its next sleep.
constexpr int64_t kWatchdogLimitNsec = 3 * kNsecPerMsec;
constexpr int kWatchdogPriorityAboveTapper = 1;
constexpr const char* kWatchdogThreadName = "tembrix-watch";
#endif

#if defined(__APPLE__)
// The time-constraint policy that audio threads use there. The tapper wakes
// when a beat is due, not on a fixed period; each wake-up needs the CPU for
// at most kTapperComputationNsec within kTapperConstraintNsec. A thread that
// overruns is preempted, or demoted for a while by the kernel's fail-safe.
constexpr int64_t kTapperComputationNsec = 500 * kNsecPerUsec;
constexpr int64_t kTapperConstraintNsec = 1000 * kNsecPerUsec;
#endif

// ---------------------------------------------------------------------------
// Time arithmetic: saturating, so that no beat value is undefined behaviour.

// Converts like Java's (long) cast: NaN gives 0, out-of-range values saturate.
int64_t toInt64Saturating(double value) {
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (value != value) {
        return 0;
    }
    if (value >= kTwoTo63) {
        return INT64_MAX;
    }
    if (value < -kTwoTo63) {
        return INT64_MIN;
    }
    return static_cast<int64_t>(value);
}

int64_t addSaturating(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? INT64_MAX : INT64_MIN;
    }
    return sum;
}

// A beat time in seconds as nanoseconds from t0, truncated to the microsecond.
int64_t beatOffsetNsec(double seconds) {
    const int64_t usec = toInt64Saturating(seconds * kUsecPerSec);
    int64_t nsec;
    if (__builtin_mul_overflow(usec, kNsecPerUsec, &nsec)) {
        return usec > 0 ? INT64_MAX : INT64_MIN;
    }
    return nsec;
}

#if !defined(_WIN32)
// A positive count of nanoseconds as whole seconds and a nanosecond part in
// [0, 999999999]. Seconds beyond what time_t holds (32 bits on some targets)
// are cut to its largest value: a wait that long ends only by a stop anyway.
struct timespec toTimespec(int64_t nsec) {
    constexpr time_t kMaxSeconds = static_cast<time_t>(~static_cast<uint64_t>(0) >> (65 - 8 * sizeof(time_t)));
    struct timespec result;
    if (nsec < kNsecPerSec) {
        result.tv_sec = 0;
        result.tv_nsec = static_cast<long>(nsec);
    } else if (nsec / kNsecPerSec > static_cast<int64_t>(kMaxSeconds)) {
        result.tv_sec = kMaxSeconds;
        result.tv_nsec = static_cast<long>(kNsecPerSec - 1);
    } else {
        result.tv_sec = static_cast<time_t>(nsec / kNsecPerSec);
        result.tv_nsec = static_cast<long>(nsec % kNsecPerSec);
    }
    return result;
}
#endif

// Set by a stop that asks the tapper thread to leave; read by its sleep and
// its spin. Written only with the sleep's wake-up (wakeSleeper), so that a
// sleep never misses it.
std::atomic<bool> stopRequested;

// ===========================================================================
// Platform: the Mach clock (macOS; also built on Linux for its own test)

#if defined(TEMBRIX_USE_MACH_CLOCK)

// Mach absolute time of the first reading: the clock's zero point.
uint64_t start;
mach_timebase_info_data_t sTimebaseInfo;
// Set once start and sTimebaseInfo hold their values; the lock makes the lazy
// set-up safe when several threads take their first reading at once.
std::atomic<int> machClockReady;
pthread_mutex_t machClockLock = PTHREAD_MUTEX_INITIALIZER;

void setUpMachClock() {
    pthread_mutex_lock(&machClockLock);
    if (machClockReady.load(std::memory_order_relaxed) == 0) {
        start = mach_absolute_time();
        mach_timebase_info(&sTimebaseInfo);
        machClockReady.store(1, std::memory_order_release);
    }
    pthread_mutex_unlock(&machClockLock);
}

inline int64_t nowNsec() {
    if (machClockReady.load(std::memory_order_acquire) == 0) {
        setUpMachClock();
    }
    const uint64_t now = mach_absolute_time();
    return static_cast<int64_t>((now - start) * sTimebaseInfo.numer / sTimebaseInfo.denom);
}

#endif

// ===========================================================================
// Platform: POSIX threads, locks, timed waits and the tapper's sleep (Linux, macOS)

#if !defined(_WIN32)

using Mutex = pthread_mutex_t;
using CondVar = pthread_cond_t;
using ThreadHandle = pthread_t;
#define TEMBRIX_MUTEX_INIT PTHREAD_MUTEX_INITIALIZER

#if !defined(TEMBRIX_USE_MACH_CLOCK)
inline int64_t nowNsec() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsecPerSec + now.tv_nsec;
}
#endif

void lockMutex(Mutex* mutex) { pthread_mutex_lock(mutex); }
void unlockMutex(Mutex* mutex) { pthread_mutex_unlock(mutex); }

// A mutex that lends its holder the priority of a thread that waits for it,
// so that a real-time tapper thread never waits long behind a normal thread.
void initInheritingMutex(Mutex* mutex) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void initCond(CondVar* cond) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
#if defined(__linux__)
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
#endif
    pthread_cond_init(cond, &attributes);
    pthread_condattr_destroy(&attributes);
}

void waitCond(CondVar* cond, Mutex* mutex) { pthread_cond_wait(cond, mutex); }

// Waits until woken, or until nowNsec() reaches due (a spurious early return
// is allowed: callers look again).
void waitCondUntil(CondVar* cond, Mutex* mutex, int64_t due) {
    const int64_t now = nowNsec();
    if (now >= due) {
        return;
    }
#if defined(__APPLE__)
    const struct timespec delay = toTimespec(due - now);
    pthread_cond_timedwait_relative_np(cond, mutex, &delay);
#elif defined(TEMBRIX_USE_MACH_CLOCK)
    // The Mach clock on Linux, in its test: carried over to CLOCK_MONOTONIC.
    struct timespec monotonic;
    clock_gettime(CLOCK_MONOTONIC, &monotonic);
    const int64_t at = static_cast<int64_t>(monotonic.tv_sec) * kNsecPerSec + monotonic.tv_nsec + (due - now);
    const struct timespec deadline = toTimespec(at);
    pthread_cond_timedwait(cond, mutex, &deadline);
#else
    // Absolute, on the clock that nowNsec() reads: no time passes between the
    // reading and the start of the wait that the wait does not count.
    const struct timespec deadline = toTimespec(due);
    pthread_cond_timedwait(cond, mutex, &deadline);
#endif
}

void broadcastCond(CondVar* cond) { pthread_cond_broadcast(cond); }

bool startThread(ThreadHandle* thread, void* (*entry)(void*), void* argument) {
    return pthread_create(thread, nullptr, entry, argument) == 0;
}

void joinThread(ThreadHandle thread) { pthread_join(thread, nullptr); }

// The tapper thread sleeps towards each beat on wakeCond, timed on the
// library's clock, until the beat is due or a stop asks it to leave.
Mutex wakeLock = TEMBRIX_MUTEX_INIT;
CondVar wakeCond;

void initSleeper() { initCond(&wakeCond); }
void closeSleeper() {}
bool prepareSleeper() { return true; }
void releaseSleeper() {}

// Sleeps until the clock reaches due, or returns at once if it has. Returns
// false, at once, when a stop has asked the thread to leave. A signal that
// wakes the thread early only sends it back to sleep until the same time.
bool sleepUntil(int64_t due) {
    lockMutex(&wakeLock);
    while (!stopRequested.load() && nowNsec() < due) {
        waitCondUntil(&wakeCond, &wakeLock, due);
    }
    unlockMutex(&wakeLock);
    return !stopRequested.load();
}

void wakeSleeper() {
    lockMutex(&wakeLock);
    stopRequested.store(true);
    broadcastCond(&wakeCond);
    unlockMutex(&wakeLock);
}

#endif

// ===========================================================================
// Platform: Linux. The tapper thread's set-up, and real-time under a watchdog.

#if defined(__linux__)

// Switches a thread (0: the calling one) to SCHED_FIFO, the given number of
// priorities above the lowest; true if it runs real-time now.
bool setRealTime(pid_t thread, int aboveLowest) {
    struct sched_param param {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + aboveLowest;
    sched_setscheduler(thread, SCHED_FIFO | kResetOnFork, &param);
    return (sched_getscheduler(thread) & ~kResetOnFork) == SCHED_FIFO;
}

// Back to normal scheduling; true if the thread runs it now.
bool setNormal(pid_t thread) {
    struct sched_param param {};
    sched_setscheduler(thread, SCHED_OTHER | kResetOnFork, &param);
    return (sched_getscheduler(thread) & ~kResetOnFork) == SCHED_OTHER;
}

void nameThisThread(const char* name) { prctl(PR_SET_NAME, name, 0, 0, 0); }

// A new thread inherits its starter's policy: a Java thread at SCHED_FIFO (an
// audio thread, a JVM run under chrt) would give the tapper thread real-time
// scheduling before it has joined the JVM, and without a watchdog.
void beginTapperThread() {
    if ((sched_getscheduler(0) & ~kResetOnFork) != SCHED_OTHER) {
        setNormal(0);
    }
    nameThisThread(kTapperThreadName);
    prctl(PR_SET_TIMERSLACK, kTapperTimerSlackNsec, 0, 0, 0);
}

// The watchdog: it sleeps on a timer that fires only when the tapper thread
// has been in the JVM too long for one beat, and demotes it. The tapper thread
// publishes when it entered the JVM under watchLock; watchCond carries the
// watchdog's start.
Mutex watchLock = TEMBRIX_MUTEX_INIT;
CondVar watchCond;
struct Watch {
    pid_t tapperTid;    // the tapper thread's kernel id
    int timer;          // timerfd on CLOCK_MONOTONIC, armed while the tapper thread is in the JVM
    int ready;          // 1 once the watchdog runs real-time, -1 if it cannot
    bool ending;        // the tapper thread asks the watchdog to end
    int64_t busySince;  // when the tapper thread entered the JVM for a beat; 0 while it sleeps or sets up
    bool demoted;       // the watchdog has put it back to normal scheduling
};
Watch watch;         // under watchLock
pthread_t watchdog_thread;

void initPlatform() { initCond(&watchCond); }

// Arms the watchdog's timer to fire once at the given reading of the clock,
// or, at 0, disarms it.
void armWatchTimer(int64_t at) {
    struct itimerspec setting {};
    setting.it_value = toTimespec(at);
    timerfd_settime(watch.timer, at != 0 ? TFD_TIMER_ABSTIME : 0, &setting, nullptr);
}

// The watchdog thread: runs one real-time priority above the tapper thread,
// and sleeps on its timer, which the tapper thread arms whenever it enters
// the JVM and disarms when it leaves; it wakes only for a beat that has kept
// the tapper thread in the JVM for kWatchdogLimitNsec, and demotes it. It
// never calls into the JVM.
void* watchTapper(void*) {
    nameThisThread(kWatchdogThreadName);
    const bool realTime = setRealTime(0, kWatchdogPriorityAboveTapper);
    lockMutex(&watchLock);
    watch.ready = realTime ? 1 : -1;
    broadcastCond(&watchCond);
    while (realTime && !watch.ending) {
        unlockMutex(&watchLock);
        uint64_t expirations;
        const bool fired = read(watch.timer, &expirations, sizeof expirations) > 0; // else a signal: look again
        lockMutex(&watchLock);
        // The timer may have fired as the tapper thread left the JVM, or for
        // an earlier beat: only a beat that is still running counts, and only
        // a demotion that took effect.
        if (fired && watch.busySince != 0 && !watch.demoted &&
            nowNsec() >= addSaturating(watch.busySince, kWatchdogLimitNsec)) {
            watch.demoted = setNormal(watch.tapperTid);
        }
    }
    unlockMutex(&watchLock);
    return nullptr;
}

bool startWatchdog() {
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer < 0) {
        return false;
    }
    lockMutex(&watchLock);
    watch = Watch{};
    watch.tapperTid = static_cast<pid_t>(syscall(SYS_gettid));
    watch.timer = timer;
    unlockMutex(&watchLock);
    bool ready = false;
    if (startThread(&watchdog_thread, watchTapper, nullptr)) {
        lockMutex(&watchLock);
        while (watch.ready == 0) {
            waitCond(&watchCond, &watchLock);
        }
        ready = watch.ready == 1;
        unlockMutex(&watchLock);
        if (!ready) {
            joinThread(watchdog_thread);
        }
    }
    if (!ready) {
        close(timer);
    }
    return ready;
}

void stopWatchdog() {
    lockMutex(&watchLock);
    watch.ending = true;
    unlockMutex(&watchLock);
    armWatchTimer(1); // long past: it fires at once
    joinThread(watchdog_thread);
    close(watch.timer);
}

// Real-time where the process may have it: SCHED_FIFO, under the watchdog,
// which itself needs the next priority up (CAP_SYS_NICE, or an rtprio limit
// of 2 or more). Not where a finite RLIMIT_RTTIME is set: a thread that runs
// real-time past it without blocking gets SIGXCPU, which ends a JVM.
bool requestRealTime() {
    struct rlimit rttime {};
    if (getrlimit(RLIMIT_RTTIME, &rttime) == 0 && rttime.rlim_cur != RLIM_INFINITY) {
        return false;
    }
    if (!startWatchdog()) {
        return false;
    }
    if (!setRealTime(0, 0)) {
        stopWatchdog();
        return false;
    }
    return true;
}

void dropRealTime() {
    setNormal(0);
    stopWatchdog();
}

// The tapper thread is about to enter the JVM, after a sleep, and its stay
// there counts from since (or now, if that is later): two uncontended lock
// operations and one system call, with no thread woken.
void watchBusy(int64_t since) {
    lockMutex(&watchLock);
    const int64_t now = nowNsec();
    watch.busySince = since > now ? since : now;
    const int64_t limit = addSaturating(watch.busySince, kWatchdogLimitNsec);
    unlockMutex(&watchLock);
    armWatchTimer(limit);
}

void enterJvm() {}

// The tapper thread has left the JVM and is about to sleep. If the watchdog
// demoted it meanwhile, it asks for real-time again first.
void watchSleep() {
    lockMutex(&watchLock);
    watch.busySince = 0;
    const bool demoted = watch.demoted;
    watch.demoted = false;
    unlockMutex(&watchLock);
    armWatchTimer(0);
    if (demoted) {
        setRealTime(0, 0);
    }
}

#endif

// ===========================================================================
// Platform: macOS. The time-constraint policy, whose own fail-safe demotes a
// thread that overruns, so no watchdog is needed.

#if defined(__APPLE__)

void initPlatform() {}

// New threads there start under the standard policy, whatever their starter runs.
void beginTapperThread() { pthread_setname_np(kTapperThreadName); }

bool requestRealTime() {
    // Mach absolute time units; the clock's timebase is set up by t0's reading.
    const auto toMachUnits = [](int64_t nsec) {
        return static_cast<uint32_t>(static_cast<uint64_t>(nsec) * sTimebaseInfo.denom / sTimebaseInfo.numer);
    };
    thread_time_constraint_policy_data_t policy;
    policy.period = 0;
    policy.computation = toMachUnits(kTapperComputationNsec);
    policy.constraint = toMachUnits(kTapperConstraintNsec);
    policy.preemptible = TRUE;
    return thread_policy_set(pthread_mach_thread_np(pthread_self()), THREAD_TIME_CONSTRAINT_POLICY,
                             reinterpret_cast<thread_policy_t>(&policy),
                             THREAD_TIME_CONSTRAINT_POLICY_COUNT) == KERN_SUCCESS;
}

void dropRealTime() {
    thread_standard_policy_data_t policy {};
    thread_policy_set(pthread_mach_thread_np(pthread_self()), THREAD_STANDARD_POLICY,
                      reinterpret_cast<thread_policy_t>(&policy), THREAD_STANDARD_POLICY_COUNT);
}

void watchBusy(int64_t) {}
void enterJvm() {}
void watchSleep() {}

#endif

// ===========================================================================
// Platform: Windows. Win32 threads, locks and condition variables; the clock
// on QueryPerformanceCounter; the sleep on a high-resolution waitable timer;
// the tapper thread's priority raised for its sleeps and wake-ups only.

#if defined(_WIN32)

using Mutex = SRWLOCK;
using CondVar = CONDITION_VARIABLE;
using ThreadHandle = HANDLE;
#define TEMBRIX_MUTEX_INIT SRWLOCK_INIT

// The counter's frequency, read once; HotSpot reads it once too.
std::atomic<int64_t> qpcFrequency;

// As HotSpot computes System.nanoTime() there, so that both share a time base:
// the count divided by the frequency in double precision, times 1e9.
inline int64_t nowNsec() {
    int64_t frequency = qpcFrequency.load(std::memory_order_relaxed);
    if (frequency == 0) {
        LARGE_INTEGER reading;
        QueryPerformanceFrequency(&reading);
        frequency = reading.QuadPart;
        qpcFrequency.store(frequency, std::memory_order_relaxed);
    }
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return static_cast<int64_t>((static_cast<double>(count.QuadPart) / static_cast<double>(frequency)) *
                                static_cast<double>(kNsecPerSec));
}

void lockMutex(Mutex* mutex) { AcquireSRWLockExclusive(mutex); }
void unlockMutex(Mutex* mutex) { ReleaseSRWLockExclusive(mutex); }

// SRW locks lend no priority; the list's lock is held only for a few pointer
// moves, and the tapper thread runs at normal priority whenever it is in the
// JVM, where appenders run.
void initInheritingMutex(Mutex* mutex) { InitializeSRWLock(mutex); }

void initCond(CondVar* cond) { InitializeConditionVariable(cond); }
void waitCond(CondVar* cond, Mutex* mutex) { SleepConditionVariableSRW(cond, mutex, INFINITE, 0); }

// Whole milliseconds, rounded up: these waits (for news of the tapper thread)
// need no finer timing; the tapper's own sleep is on a waitable timer.
void waitCondUntil(CondVar* cond, Mutex* mutex, int64_t due) {
    const int64_t now = nowNsec();
    if (now >= due) {
        return;
    }
    const int64_t msec = (due - now + kNsecPerMsec - 1) / kNsecPerMsec;
    SleepConditionVariableSRW(cond, mutex, msec < INFINITE ? static_cast<DWORD>(msec) : INFINITE - 1, 0);
}

void broadcastCond(CondVar* cond) { WakeAllConditionVariable(cond); }

// The thread's entry comes as its argument; the entries here ignore theirs.
DWORD WINAPI threadMain(LPVOID entry) {
    reinterpret_cast<void* (*)(void*)>(entry)(nullptr);
    return 0;
}

bool startThread(ThreadHandle* thread, void* (*entry)(void*), void*) {
    *thread = CreateThread(nullptr, 0, threadMain, reinterpret_cast<LPVOID>(entry), 0, nullptr);
    return *thread != nullptr;
}

// Returns once the thread has ended: its last step, leaving this library, is done.
void joinThread(ThreadHandle thread) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

// A system library by name, from the system folder only, so that no file
// planted beside the application is loaded instead.
HMODULE systemLibrary(const wchar_t* name) { return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32); }

// The tapper thread sleeps on a waitable timer, for the time left to the
// beat, and on an event that a stop sets. A high-resolution timer (Windows 10
// 1803 and later) wakes within about half a millisecond; where the flag is
// refused, a plain timer with the system's timer resolution raised to 1 ms for
// the rhythm's life.
#if !defined(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION)
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002 // Windows 10 1803; older headers lack it
#endif
HANDLE wakeEvent; // manual reset: once set by a stop, it stays set
HANDLE sleepTimer;
HMODULE winmm;    // where timeBeginPeriod is, while the resolution is raised
using TimePeriodFunction = UINT(WINAPI*)(UINT);
constexpr UINT kTimerResolutionMsec = 1;

void initSleeper() { wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

void closeSleeper() {
    if (wakeEvent != nullptr) {
        CloseHandle(wakeEvent);
        wakeEvent = nullptr;
    }
}

bool prepareSleeper() {
    if (wakeEvent == nullptr) {
        return false;
    }
    ResetEvent(wakeEvent);
    sleepTimer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (sleepTimer == nullptr) {
        sleepTimer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
        winmm = sleepTimer != nullptr ? systemLibrary(L"winmm.dll") : nullptr;
        const auto begin = winmm != nullptr
            ? reinterpret_cast<TimePeriodFunction>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")))
            : nullptr;
        if (begin == nullptr || begin(kTimerResolutionMsec) != 0) {
            if (winmm != nullptr) {
                FreeLibrary(winmm);
                winmm = nullptr;
            }
        }
    }
    return sleepTimer != nullptr;
}

void releaseSleeper() {
    if (sleepTimer != nullptr) {
        CloseHandle(sleepTimer);
        sleepTimer = nullptr;
    }
    if (winmm != nullptr) {
        const auto end = reinterpret_cast<TimePeriodFunction>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeEndPeriod")));
        if (end != nullptr) {
            end(kTimerResolutionMsec);
        }
        FreeLibrary(winmm);
        winmm = nullptr;
    }
}

// Sleeps until the clock reaches due, or returns at once if it has; false, at
// once, when a stop has asked the thread to leave. The timer is set for the
// time left, in its units of 100 ns rounded up, and set again if it fires
// before due.
bool sleepUntil(int64_t due) {
    for (;;) {
        if (stopRequested.load()) {
            return false;
        }
        const int64_t now = nowNsec();
        if (now >= due) {
            return true;
        }
        LARGE_INTEGER delay;
        delay.QuadPart = -((due - now + 99) / 100); // negative: relative to now
        SetWaitableTimerEx(sleepTimer, &delay, 0, nullptr, nullptr, nullptr, 0);
        HANDLE handles[2] = {wakeEvent, sleepTimer};
        WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
}

void wakeSleeper() {
    stopRequested.store(true);
    SetEvent(wakeEvent);
}

void initPlatform() {}

// Windows 10 1607 and later name threads for debuggers and profilers.
void nameThisThread(const char* name) {
    using DescribeFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    const auto describe = reinterpret_cast<DescribeFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    wchar_t wide[16] = {};
    for (int i = 0; i < 15 && name[i] != 0; ++i) {
        wide[i] = static_cast<wchar_t>(name[i]); // the names are ASCII
    }
    if (describe != nullptr) {
        describe(GetCurrentThread(), wide);
    }
}

// New threads there start at normal priority, whatever their starter runs.
void beginTapperThread() { nameThisThread(kTapperThreadName); }

// The thread runs at the top priority of its process's class while it sleeps
// towards a beat and wakes, so that it gets a CPU back before every normal
// thread, and at normal priority from the moment it enters the JVM until it
// next sleeps: a tap() that allocates, or waits for the garbage collector,
// runs exactly as a normal thread would, and no watchdog is needed. Raising a
// thread's priority within its class needs no privilege; that is what this
// reports.
bool requestRealTime() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0; }
void dropRealTime() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL); }
void watchBusy(int64_t) {}
void enterJvm() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL); }
void watchSleep() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL); }

#endif

// ===========================================================================
// Platform: the CPU's pause in a spin, which frees the core's shared units
// for its other hardware thread and saves power.

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

// ---------------------------------------------------------------------------
// Tapper state. Written by the natives under nativesLock, and only while no
// tapper thread exists; read by the tapper thread.

JavaVM* jvm;
jobject obj;                 // global reference to the Tapper being tapped; the tapper thread deletes it as it ends
int32_t running;             // 1 from a start until the thread has been joined
int32_t beatsLength;
double* beatsArray;          // owned: malloc'd by setBeatList, freed by a stop or the next set
ThreadHandle tapper_thread;  // valid while running is 1
jmethodID tapMethod;         // tap() of obj's class, looked up by the start
jmethodID eventMethod;       // the library's own Tapper's rhythmEvent(); null for a class of the caller's own
jfieldID startTimeField;     // likewise its fields, or null
jfieldID realTimeField;
jobject contextLoader;       // global reference, held across the start: the starting thread's context class loader
bool preciseRhythm;          // the rhythm spins the last stretch before each beat
int64_t rhythmSerial;        // the rhythm of tapper_thread, counted from 1
int64_t lastSerial;

Mutex nativesLock = TEMBRIX_MUTEX_INIT;

// Set by the tapper thread once no tap can follow: as the last beat known
// begins its tap(), and when it leaves. Cleared again if beats appended during
// that tap() let the rhythm go on. A set or start that finds it set waits for
// the thread to end or go on.
std::atomic<int> tapperFinishing;

// Set by the tapper thread while it is inside tap(). A stop that finds it
// clear waits briefly for the thread itself (see kStopBriefWaitNsec). Only a
// hint, written around every tap() and so without ordering: a stop that reads
// it a moment late waits no longer than that brief wait.
std::atomic<int> tapperInTap;

// Set by the tapper thread once it is past its last wait and on its way out:
// what it still does in the JVM (telling Java, letting go of the Tapper,
// detaching) is bounded, and a native may wait for it. It tells the natives.
std::atomic<int> tapperLeaving;

// The tapper thread's own JNIEnv while it is attached. A native called with
// this env runs inside tap(), on the tapper thread, and must not wait for it.
std::atomic<JNIEnv*> tapperEnv;

// A weak global reference to the tapper thread's java.lang.Thread, made by the
// thread before the start handshake and deleted by the natives once it is
// joined. Weak, so that an ended rhythm keeps nothing of the caller's alive.
jobject tapperThreadObject;

// Start handshake: the start waits until the new thread has read t0,
// attached (or failed to) and set up its scheduling, so that the JVM knows
// the thread and the Tapper knows its start before the start returns.
Mutex startLock = TEMBRIX_MUTEX_INIT;
CondVar startCond;
struct StartReport {
    bool done;
    jint attachResult;
    int64_t t0;
    bool realTime;
};
StartReport started;

// News from the tapper thread, for the natives that wait for it: it has ended
// (its last step), or a rhythm it was ending goes on.
Mutex newsLock = TEMBRIX_MUTEX_INIT;
CondVar newsCond;
bool tapperEnded; // under newsLock

// ---------------------------------------------------------------------------
// The beat list: the list that setBeatList copied, of which element 0 is never
// tapped, then the beats appended to it, all of which are. Beats appended while
// no rhythm plays extend the list, and a replay plays them. Beats appended
// while a rhythm plays extend that rhythm only: they are released once tapped,
// so that an endless rhythm takes no more memory than the beats not yet
// tapped, and the list a replay plays is the one that the rhythm started with.

struct alignas(double) BeatChunk {
    BeatChunk* next;
    int32_t count;
    // count beats follow
};

double* chunkBeats(BeatChunk* chunk) { return reinterpret_cast<double*>(chunk + 1); }

enum AppendTo {
    kAppendToList,   // no rhythm plays: the beats extend the list
    kAppendToRhythm, // a rhythm plays: the beats extend it
    kAppendDropped,  // a stop is under way: the beats are dropped
};

// Under listLock. The appended part of the list (pendingFirst...) is read by
// the tapper thread without the lock: it changes only while no thread reads it.
Mutex listLock;
AppendTo appendTo = kAppendToList;
BeatChunk* pendingFirst;
BeatChunk* pendingLast;
BeatChunk* liveFirst;   // appended while the rhythm plays
BeatChunk* liveLast;
BeatChunk* liveReading; // the live chunk the tapper thread reads now; those before it are tapped

// listLock and the condition variables are set up once, before the first
// native runs.
#if defined(_WIN32)
INIT_ONCE setUpOnce = INIT_ONCE_STATIC_INIT;
BOOL CALLBACK runSetUp(PINIT_ONCE, PVOID, PVOID*);
#else
pthread_once_t setUpOnce = PTHREAD_ONCE_INIT;
#endif

void setUp() {
    initInheritingMutex(&listLock);
    initCond(&startCond);
    initCond(&newsCond);
    initSleeper();
    initPlatform();
}

#if defined(_WIN32)
BOOL CALLBACK runSetUp(PINIT_ONCE, PVOID, PVOID*) {
    setUp();
    return TRUE;
}
#endif

void ensureSetUp() {
#if defined(_WIN32)
    InitOnceExecuteOnce(&setUpOnce, runSetUp, nullptr, nullptr);
#else
    pthread_once(&setUpOnce, setUp);
#endif
}

void freeChunks(BeatChunk* chunk) {
    while (chunk != nullptr) {
        BeatChunk* next = chunk->next;
        free(chunk);
        chunk = next;
    }
}

// Where the tapper thread is in the list.
struct Cursor {
    int32_t index;      // in beatsArray
    BeatChunk* chunk;   // in the appended part, then in the live part
    int32_t inChunk;
    bool live;
};

// The next beat of the rhythm, if one is known; moves the cursor past it.
// When none is and orEnd is set, the rhythm is over: beats appended from then
// on extend the list instead.
bool nextBeat(Cursor* cursor, double* beat, bool orEnd) {
    if (cursor->index < beatsLength) {
        *beat = beatsArray[cursor->index++];
        return true;
    }
    if (!cursor->live) {
        while (cursor->chunk != nullptr) {
            if (cursor->inChunk < cursor->chunk->count) {
                *beat = chunkBeats(cursor->chunk)[cursor->inChunk++];
                return true;
            }
            cursor->chunk = cursor->chunk->next;
            cursor->inChunk = 0;
        }
        cursor->live = true;
    }
    lockMutex(&listLock);
    if (cursor->chunk == nullptr) {
        cursor->chunk = liveFirst;
    }
    while (cursor->chunk != nullptr && cursor->inChunk >= cursor->chunk->count && cursor->chunk->next != nullptr) {
        cursor->chunk = cursor->chunk->next;
        cursor->inChunk = 0;
    }
    const bool found = cursor->chunk != nullptr && cursor->inChunk < cursor->chunk->count;
    if (found) {
        *beat = chunkBeats(cursor->chunk)[cursor->inChunk++];
    } else if (orEnd && appendTo == kAppendToRhythm) {
        appendTo = kAppendToList;
    }
    liveReading = cursor->chunk;
    unlockMutex(&listLock);
    return found;
}

void setAppendTo(AppendTo where) {
    lockMutex(&listLock);
    appendTo = where;
    unlockMutex(&listLock);
}

// The list: the copied block and the beats appended to it.
void releaseBeatList() {
    lockMutex(&listLock);
    BeatChunk* pending = pendingFirst;
    pendingFirst = nullptr;
    pendingLast = nullptr;
    unlockMutex(&listLock);
    freeChunks(pending);
    free(beatsArray);
    beatsArray = nullptr;
    beatsLength = 0;
}

// The beats a rhythm was given while it played, once its thread is joined.
void releaseLiveBeats() {
    lockMutex(&listLock);
    BeatChunk* live = liveFirst;
    liveFirst = nullptr;
    liveLast = nullptr;
    liveReading = nullptr;
    unlockMutex(&listLock);
    freeChunks(live);
}

// ---------------------------------------------------------------------------
// Signals between the natives and the tapper thread

void reportStarted(jint attachResult, int64_t t0, bool realTime) {
    lockMutex(&startLock);
    started.attachResult = attachResult;
    started.t0 = t0;
    started.realTime = realTime;
    started.done = true;
    broadcastCond(&startCond);
    unlockMutex(&startLock);
}

StartReport waitStarted() {
    lockMutex(&startLock);
    while (!started.done) {
        waitCond(&startCond, &startLock);
    }
    const StartReport report = started;
    unlockMutex(&startLock);
    return report;
}

void requestStop() { wakeSleeper(); }

void tellNatives(bool ended) {
    lockMutex(&newsLock);
    tapperEnded = tapperEnded || ended;
    broadcastCond(&newsCond);
    unlockMutex(&newsLock);
}

// What a native that waits for the tapper thread waits for: its end, or, for
// a set or start during what was the last tap(), its going on.
bool tapperSettled(bool untilEnded) {
    return tapperEnded || (!untilEnded && tapperFinishing.load() == 0 && !stopRequested.load());
}

// Waits up to timeoutNsec for the tapper thread's news; true if it came.
bool waitNews(int64_t timeoutNsec, bool untilEnded) {
    const int64_t deadline = addSaturating(nowNsec(), timeoutNsec);
    lockMutex(&newsLock);
    while (!tapperSettled(untilEnded) && nowNsec() < deadline) {
        waitCondUntil(&newsCond, &newsLock, deadline);
    }
    const bool settled = tapperSettled(untilEnded);
    unlockMutex(&newsLock);
    return settled;
}

// Waits up to timeoutNsec for the tapper thread to be on its way out; true if it is.
bool waitLeaving(int64_t timeoutNsec) {
    const int64_t deadline = addSaturating(nowNsec(), timeoutNsec);
    lockMutex(&newsLock);
    while (tapperLeaving.load() == 0 && nowNsec() < deadline) {
        waitCondUntil(&newsCond, &newsLock, deadline);
    }
    unlockMutex(&newsLock);
    return tapperLeaving.load() != 0;
}

// ---------------------------------------------------------------------------
// JNI helpers

// Reports a pending Java exception on standard error, and clears it. Returns
// true if there was one.
bool describeAndClear(JNIEnv* env) {
    if (!env->ExceptionCheck()) {
        return false;
    }
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

// Throws a new exception of the named class; whatever FindClass raised stays
// pending if the class cannot be found.
void throwNew(JNIEnv* env, const char* className, const char* message) {
    jclass exceptionClass = env->FindClass(className);
    if (exceptionClass != nullptr) {
        env->ThrowNew(exceptionClass, message);
        env->DeleteLocalRef(exceptionClass);
    }
}

// A method of the target's class; null, with the exception reported, if the
// class has none of that name and signature.
jmethodID methodOf(JNIEnv* env, jobject target, const char* name, const char* signature) {
    jclass targetClass = env->GetObjectClass(target);
    jmethodID method = env->GetMethodID(targetClass, name, signature);
    env->DeleteLocalRef(targetClass);
    return describeAndClear(env) ? nullptr : method;
}

// Calls a method that takes no arguments and returns an object; null, with
// the exception reported, if it is missing or throws.
jobject callObject(JNIEnv* env, jobject target, const char* name, const char* signature) {
    jmethodID method = methodOf(env, target, name, signature);
    if (method == nullptr) {
        return nullptr;
    }
    jobject result = env->CallObjectMethod(target, method);
    return describeAndClear(env) ? nullptr : result;
}

// Calls a void method; an exception it throws is reported.
void callVoid(JNIEnv* env, jobject target, const char* name, const char* signature, ...) {
    jmethodID method = methodOf(env, target, name, signature);
    if (method == nullptr) {
        return;
    }
    va_list arguments;
    va_start(arguments, signature);
    env->CallVoidMethodV(target, method, arguments);
    va_end(arguments);
    describeAndClear(env);
}

jobject currentJavaThread(JNIEnv* env) {
    jclass threadClass = env->FindClass("java/lang/Thread");
    if (describeAndClear(env)) {
        return nullptr;
    }
    jmethodID currentThread = env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;");
    jobject thread = nullptr;
    if (!describeAndClear(env)) {
        thread = env->CallStaticObjectMethod(threadClass, currentThread);
        if (describeAndClear(env)) {
            thread = nullptr;
        }
    }
    env->DeleteLocalRef(threadClass);
    return thread;
}

// A tapper clock reading in System.nanoTime()'s time base.
int64_t toJavaNanoTime(JNIEnv* env, int64_t nsec) {
#if defined(TEMBRIX_USE_MACH_CLOCK)
    // This clock counts from its first reading, System.nanoTime() from another
    // zero point: carry the reading over by the offset between the two clocks,
    // taken from a pair of readings around one of System.nanoTime().
    jclass systemClass = env->FindClass("java/lang/System");
    if (describeAndClear(env)) {
        return nsec;
    }
    jmethodID nanoTime = env->GetStaticMethodID(systemClass, "nanoTime", "()J");
    int64_t offset = 0;
    if (!describeAndClear(env)) {
        const int64_t before = nowNsec();
        const int64_t java = env->CallStaticLongMethod(systemClass, nanoTime);
        const int64_t after = nowNsec();
        if (!describeAndClear(env)) {
            offset = java - (before + (after - before) / 2);
        }
    }
    env->DeleteLocalRef(systemClass);
    return nsec + offset;
#else
    // System.nanoTime() reads the same clock, with the same arithmetic.
    static_cast<void>(env);
    return nsec;
#endif
}

// ---------------------------------------------------------------------------
// Tapper thread

// Gives the newly attached tapper thread what a Java thread started by the
// caller would have: the starting thread's context class loader. Keeps a weak
// reference to its java.lang.Thread for the natives, and returns a local one.
jobject setUpJavaThread(JNIEnv* env) {
    jobject thread = currentJavaThread(env);
    if (thread != nullptr) {
        tapperThreadObject = env->NewWeakGlobalRef(thread);
        describeAndClear(env);
        callVoid(env, thread, "setContextClassLoader", "(Ljava/lang/ClassLoader;)V", contextLoader);
    }
    return thread;
}

// Records in the Tapper what its thread got, where its class has the fields:
// before the first tap, so that tap() may read them too. The start time is
// written last: it tells that a rhythm has started.
void recordStart(JNIEnv* env, int64_t javaT0, bool realTime) {
    if (realTimeField != nullptr) {
        env->SetBooleanField(obj, realTimeField, realTime ? JNI_TRUE : JNI_FALSE);
    }
    if (startTimeField != nullptr) {
        env->SetLongField(obj, startTimeField, javaT0);
    }
}

// Hands the exception that tap() threw to the thread's uncaught-exception
// handler (its own, else its group, which passes it to the default handler),
// as the JVM does for a Java thread whose run() throws. An exception from the
// handler itself is reported on standard error.
void handleTapException(JNIEnv* env, jobject thread) {
    jthrowable thrown = env->ExceptionOccurred();
    env->ExceptionClear();
    jobject handler = nullptr;
    if (thread != nullptr) {
        handler = callObject(env, thread, "getUncaughtExceptionHandler",
                             "()Ljava/lang/Thread$UncaughtExceptionHandler;");
    }
    if (handler != nullptr) {
        callVoid(env, handler, "uncaughtException", "(Ljava/lang/Thread;Ljava/lang/Throwable;)V", thread,
                 thrown);
        env->DeleteLocalRef(handler);
    } else {
        env->Throw(thrown);
        describeAndClear(env);
    }
    env->DeleteLocalRef(thrown);
}

// Tells a caller that waits in Java for the rhythm to end, or go on, to look again.
void tellJava(JNIEnv* env) {
    if (eventMethod != nullptr) {
        env->CallVoidMethod(obj, eventMethod);
        describeAndClear(env);
    }
}

// The precise margin after a wake-up at woke for a beat due at due.
int64_t adaptMargin(int64_t margin, int64_t woke, int64_t due) {
    if (woke > due) {
        const int64_t missed = woke - due < kPreciseWidenMaxMissNsec ? woke - due : kPreciseWidenMaxMissNsec;
        margin = addSaturating(margin, missed + kPreciseWidenStepNsec);
    } else {
        margin -= margin / kPreciseNarrowDivisor;
    }
    return margin < kPreciseMarginFloorNsec ? kPreciseMarginFloorNsec
         : margin > kPreciseMarginCapNsec ? kPreciseMarginCapNsec
         : margin;
}

// Precise mode's sleep: until the margin before due, or at most half the
// time left, after which the margin adapts to how late the wake-up came.
// Returns false, at once, when a stop asks the thread to leave.
bool sleepBeforeSpin(int64_t due, int64_t* margin) {
    const int64_t now = nowNsec();
    if (now >= due) {
        return !stopRequested.load();
    }
    const int64_t gap = due - now;
    const int64_t lead = *margin < gap / 2 ? *margin : gap / 2;
    if (!sleepUntil(due - lead)) {
        return false;
    }
    *margin = adaptMargin(*margin, nowNsec(), due);
    return true;
}

// Precise mode's spin on the clock until due; false, at once, when a stop asks
// the thread to leave.
bool spinUntil(int64_t due) {
    while (nowNsec() < due) {
        if (stopRequested.load(std::memory_order_relaxed)) {
            return false;
        }
        cpuRelax();
    }
    return true;
}

// Taps each beat of the rhythm when it is due, in list order, until the beats
// known run out or a stop asks the thread to leave. A real-time thread tells
// the watchdog when it enters the JVM and when it next sleeps: overdue beats
// tapped back to back count as one stay in the JVM, and cost no system call.
void tapBeats(JNIEnv* env, jobject thread, int64_t t0, bool realTime) {
    Cursor cursor{1, pendingFirst, 0, false};
    double beat;
    if (!nextBeat(&cursor, &beat, true)) {
        return;
    }
    int64_t margin = kPreciseMarginInitialNsec;
    bool inJvm = false;
    for (;;) {
        // Convert the beat before reading the clock, so that only a comparison
        // lies between the reading and the sleep.
        const int64_t due = addSaturating(t0, beatOffsetNsec(beat));
        if (inJvm && nowNsec() < due) {
            watchSleep();
            inJvm = false;
        }
        // In precise mode the thread wakes a margin before the beat, and does
        // what it can before it spins out the rest, so that only the call
        // into Java follows the due time.
        if (!(preciseRhythm ? sleepBeforeSpin(due, &margin) : sleepUntil(due))) {
            return;
        }
        double following;
        const bool known = nextBeat(&cursor, &following, false);
        if (!known) {
            tapperFinishing.store(1);
        }
        if (realTime && !inJvm) {
            watchBusy(due);
        }
        if (preciseRhythm && !spinUntil(due)) {
            return;
        }
        if (realTime && !inJvm) {
            enterJvm();
            inJvm = true;
        }
        tapperInTap.store(1, std::memory_order_relaxed);
        env->CallVoidMethod(obj, tapMethod);
        tapperInTap.store(0, std::memory_order_relaxed);
        if (env->ExceptionCheck()) {
            handleTapException(env, thread);
        }
        if (stopRequested.load()) {
            return;
        }
        if (!known) {
            if (!nextBeat(&cursor, &following, true)) {
                return;
            }
            // Beats came during that tap(): the rhythm goes on, and a set or
            // start that waited for its end is refused after all.
            tapperFinishing.store(0);
            tellNatives(false);
            tellJava(env);
        }
        beat = following;
    }
}

// ---------------------------------------------------------------------------
// Ending a rhythm, on the natives' side

// True once the JVM has begun to shut down (System.exit(), the last non-daemon
// thread's end, a signal): the shutdown hooks then refuse to change. Asking to
// remove the calling thread, which is alive and so never a registered hook,
// changes nothing otherwise.
bool jvmShuttingDown(JNIEnv* env) {
    jclass runtimeClass = env->FindClass("java/lang/Runtime");
    if (describeAndClear(env)) {
        return false;
    }
    bool shuttingDown = false;
    jmethodID getRuntime = env->GetStaticMethodID(runtimeClass, "getRuntime", "()Ljava/lang/Runtime;");
    jmethodID removeHook = env->GetMethodID(runtimeClass, "removeShutdownHook", "(Ljava/lang/Thread;)Z");
    jobject runtime = describeAndClear(env) ? nullptr : env->CallStaticObjectMethod(runtimeClass, getRuntime);
    jobject current = runtime != nullptr && !describeAndClear(env) ? currentJavaThread(env) : nullptr;
    if (current != nullptr) {
        env->CallBooleanMethod(runtime, removeHook, current);
        if (env->ExceptionCheck()) {
            jthrowable thrown = env->ExceptionOccurred();
            env->ExceptionClear();
            jclass illegalState = env->FindClass("java/lang/IllegalStateException");
            if (!describeAndClear(env)) {
                shuttingDown = env->IsInstanceOf(thrown, illegalState);
                env->DeleteLocalRef(illegalState);
            }
            env->DeleteLocalRef(thrown);
        }
        env->DeleteLocalRef(current);
    }
    if (runtime != nullptr) {
        env->DeleteLocalRef(runtime);
    }
    env->DeleteLocalRef(runtimeClass);
    return shuttingDown;
}

// True if the tapper thread is running the JVM's exit: tap() called
// System.exit() and waits for the shutdown hooks to finish, or for another
// thread's exit. Such a call never returns.
bool insideJvmExit(JNIEnv* env) {
    jobject thread = tapperThreadObject != nullptr ? env->NewLocalRef(tapperThreadObject) : nullptr;
    if (thread == nullptr) {
        return false;
    }
    jobjectArray frames = static_cast<jobjectArray>(
        callObject(env, thread, "getStackTrace", "()[Ljava/lang/StackTraceElement;"));
    env->DeleteLocalRef(thread);
    if (frames == nullptr) {
        return false;
    }
    bool exiting = false;
    jmethodID getClassName = nullptr; // StackTraceElement is final: one lookup serves every frame
    const jsize count = env->GetArrayLength(frames);
    for (jsize i = 0; i < count && !exiting; ++i) {
        jobject frame = env->GetObjectArrayElement(frames, i);
        if (getClassName == nullptr) {
            getClassName = methodOf(env, frame, "getClassName", "()Ljava/lang/String;");
        }
        jstring className = nullptr;
        if (getClassName != nullptr) {
            className = static_cast<jstring>(env->CallObjectMethod(frame, getClassName));
            if (describeAndClear(env)) {
                className = nullptr;
            }
        }
        if (className != nullptr) {
            const char* chars = env->GetStringUTFChars(className, nullptr);
            if (chars != nullptr) {
                exiting = strcmp(chars, kShutdownClassName) == 0;
                env->ReleaseStringUTFChars(className, chars);
            }
            describeAndClear(env);
            env->DeleteLocalRef(className);
        }
        env->DeleteLocalRef(frame);
    }
    env->DeleteLocalRef(frames);
    return exiting;
}

// Waits, for a Tapper class of the caller's own, until the tapper thread has
// ended (untilEnded), or else also until a rhythm it was ending goes on.
// Outside shutdown it waits as long as the thread takes. Once the JVM shuts
// down, it gives up at once on a tap() inside the JVM's exit, and on any other
// after kShutdownStopWaitNsec: the tap() may be waiting for the exit, which
// waits for this call. Returns false if it gave up.
bool waitForTapper(JNIEnv* env, bool untilEnded) {
    int64_t shutdownSeen = -1;
    while (!waitNews(kStopCheckIntervalNsec, untilEnded)) {
        if (!jvmShuttingDown(env)) {
            continue;
        }
        if (insideJvmExit(env)) {
            return false;
        }
        const int64_t now = nowNsec();
        if (shutdownSeen < 0) {
            shutdownSeen = now;
        } else if (now - shutdownSeen >= kShutdownStopWaitNsec) {
            return false;
        }
    }
    return true;
}

// Joins a tapper thread that is on its way out or has ended, and clears what
// its rhythm left. A rhythm that was stopped takes the list with it.
void reapTapper(JNIEnv* env) {
    waitNews(INT64_MAX, true); // what remains of its way out is bounded
    joinThread(tapper_thread);
    running = 0;
    obj = nullptr; // the thread deleted its global reference as it ended
    if (tapperThreadObject != nullptr) {
        if (env != nullptr) {
            env->DeleteWeakGlobalRef(tapperThreadObject);
        }
        tapperThreadObject = nullptr;
    }
    releaseSleeper();
    releaseLiveBeats();
    if (stopRequested.load()) {
        releaseBeatList();
    }
    setAppendTo(kAppendToList);
}

enum Settled {
    kSettled, // no rhythm plays: the list may be set, and a rhythm started
    kPlaying, // a rhythm plays
    kEnding,  // a rhythm is ending: its last tap() runs, or a stop is under way
};

// Before a set or a start: a thread that has ended, or is on its way out, is
// joined. One that is ending is waited for, here when wait is set (a Tapper
// class of the caller's own), else by the caller in Java.
Settled settle(JNIEnv* env, bool wait) {
    while (running == 1) {
        if (tapperLeaving.load() != 0) {
            reapTapper(env);
            break;
        }
        if (tapperFinishing.load() == 0 && !stopRequested.load()) {
            return kPlaying;
        }
        if (!wait) {
            return kEnding;
        }
        if (!waitForTapper(env, false)) {
            return kPlaying; // the JVM shuts down, and the thread is left to it
        }
    }
    return kSettled;
}

// A native called from tap() on the tapper thread would wait for itself.
bool rejectOnTapperThread(JNIEnv* env, const char* message) {
    if (env != tapperEnv.load()) {
        return false;
    }
    throwNew(env, "java/lang/IllegalStateException", message);
    return true;
}

// Writes one of the library's two lines. Called with no lock held, so that an
// output that blocks (a full pipe that nobody reads) holds back only the call
// that writes, never a stop.
void logLine(const char* line) {
    puts(line);
    fflush(stdout);
}

void throwAttachFailure(JNIEnv* env, jint result) {
    char message[256];
    snprintf(message, sizeof message,
             "the tapper thread could not attach to the JVM (JNI error %d): the thread stack limit (ulimit -s) "
             "may be too small, or the JVM is shutting down",
             static_cast<int>(result));
    throwNew(env, result == JNI_ENOMEM ? "java/lang/OutOfMemoryError" : "java/lang/IllegalStateException",
             message);
}

// A new block holding the array's beats, or null with an exception pending.
BeatChunk* copyToChunk(JNIEnv* env, jdoubleArray beats) {
    const jsize length = env->GetArrayLength(beats);
    if (static_cast<uint64_t>(length) > (SIZE_MAX - sizeof(BeatChunk)) / sizeof(double)) {
        throwNew(env, "java/lang/OutOfMemoryError", "unable to allocate the appended beats");
        return nullptr;
    }
    BeatChunk* chunk = static_cast<BeatChunk*>(malloc(sizeof(BeatChunk) + sizeof(double) * length));
    if (chunk == nullptr) {
        throwNew(env, "java/lang/OutOfMemoryError", "unable to allocate the appended beats");
        return nullptr;
    }
    chunk->next = nullptr;
    chunk->count = length;
    env->GetDoubleArrayRegion(beats, 0, length, chunkBeats(chunk));
    if (env->ExceptionCheck()) {
        free(chunk);
        return nullptr;
    }
    return chunk;
}

// Replaces the list; the tapper state must be settled. Returns false with an
// exception pending if the copy cannot be made; the list is empty then.
bool replaceBeatList(JNIEnv* env, jdoubleArray beats) {
    const jsize length = env->GetArrayLength(beats);
    double* block = static_cast<double*>(malloc(static_cast<size_t>(length) * sizeof(double)));
    releaseBeatList();
    if (block == nullptr && length > 0) {
        throwNew(env, "java/lang/OutOfMemoryError", "unable to allocate the beat list");
        return false;
    }
    // One copy, straight into the owned block; the Java array is never written.
    env->GetDoubleArrayRegion(beats, 0, length, block);
    if (env->ExceptionCheck()) {
        free(block);
        return false;
    }
    beatsLength = length;
    beatsArray = block;
    return true;
}

// Starts a rhythm on the list for self; the tapper state must be settled. Its
// class's own fields and event method are used where it has them. Returns the
// rhythm's serial, or 0 with an exception pending.
int64_t startRhythm(JNIEnv* env, jobject self, bool precise) {
    // Looked up here, on the caller's thread: a lookup on the tapper thread
    // would wait for the class's static initialiser, which may be the very
    // code that calls this.
    jclass selfClass = env->GetObjectClass(self);
    jmethodID tap = env->GetMethodID(selfClass, "tap", "()V");
    env->DeleteLocalRef(selfClass);
    if (tap == nullptr) {
        env->ExceptionClear();
        throwNew(env, "java/lang/NoSuchMethodError",
                 "the Tapper's class has no method void tap(); declare public void tap()");
        return 0;
    }
    // The class that declares the natives, not the object's own class, whose
    // subclass may have fields of the same names.
    jclass tapperClass = env->FindClass(kTapperClassName);
    startTimeField = nullptr;
    realTimeField = nullptr;
    eventMethod = nullptr;
    if (tapperClass == nullptr) {
        env->ExceptionClear();
    } else {
        realTimeField = env->GetFieldID(tapperClass, kRealTimeField, "Z");
        env->ExceptionClear(); // a Tapper class of the caller's own, without them
        startTimeField = realTimeField != nullptr ? env->GetFieldID(tapperClass, kStartTimeField, "J") : nullptr;
        env->ExceptionClear();
        eventMethod = startTimeField != nullptr ? env->GetMethodID(tapperClass, kEventMethod, "()V") : nullptr;
        env->ExceptionClear();
        env->DeleteLocalRef(tapperClass);
    }
    env->GetJavaVM(&jvm);
    obj = env->NewGlobalRef(self);
    if (obj == nullptr) {
        if (!env->ExceptionCheck()) {
            throwNew(env, "java/lang/OutOfMemoryError", "unable to create a global reference to the Tapper");
        }
        return 0;
    }
    jobject callerThread = currentJavaThread(env);
    jobject loader = callerThread != nullptr
        ? callObject(env, callerThread, "getContextClassLoader", "()Ljava/lang/ClassLoader;")
        : nullptr;
    contextLoader = loader != nullptr ? env->NewGlobalRef(loader) : nullptr;
    env->DeleteLocalRef(loader);
    env->DeleteLocalRef(callerThread);

    tapMethod = tap;
    preciseRhythm = precise;
    running = 1;
    tapperFinishing.store(0);
    tapperLeaving.store(0);
    tapperInTap.store(0);
    started = StartReport{};
    stopRequested.store(false);
    tapperEnded = false;
    setAppendTo(kAppendToRhythm);
    const bool created = prepareSleeper() && startThread(&tapper_thread, sendTaps, env);
    StartReport report{};
    if (created) {
        report = waitStarted();
    }
    if (contextLoader != nullptr) {
        env->DeleteGlobalRef(contextLoader);
        contextLoader = nullptr;
    }
    if (!created || report.attachResult != JNI_OK) {
        if (created) {
            joinThread(tapper_thread);
        }
        releaseSleeper();
        running = 0;
        setAppendTo(kAppendToList);
        releaseLiveBeats();
        env->DeleteGlobalRef(obj);
        obj = nullptr;
        if (!created) {
            throwNew(env, "java/lang/OutOfMemoryError", "unable to create tapper thread");
        } else {
            throwAttachFailure(env, report.attachResult);
        }
        return 0;
    }
    rhythmSerial = ++lastSerial;
    return rhythmSerial;
}

// Outcome of a call of the library's own Tapper, as its Java side reads it.
constexpr jint kDone = 0;
constexpr jint kRefusedPlaying = 1;
constexpr jint kWaitForEvent = 2;

jint outcomeOf(Settled settled) {
    return settled == kSettled ? kDone : settled == kPlaying ? kRefusedPlaying : kWaitForEvent;
}

// The library's two lines, and what a native called from tap() says.
constexpr const char* kSetLine = "Set beat list native";
constexpr const char* kStartLine = "Start native tapping ";
constexpr const char* kSetFromTap = "setBeatList() cannot be called from tap(): it would wait for tap() to return; "
                                    "hand it to another thread without waiting for it";
constexpr const char* kStartFromTap = "startTapper() cannot be called from tap(): it would wait for tap() to "
                                      "return; hand it to another thread without waiting for it";
constexpr const char* kStopFromTap = "stopTapper() cannot be called from tap(): it waits for tap() to return. "
                                     "Hand the stop to another thread and do not wait for it there";

// The set and the start of every Tapper class: a class of the caller's own
// waits here for a rhythm that is ending (wait), the library's own in Java.
Settled setList(JNIEnv* env, jdoubleArray beats, bool wait) {
    ensureSetUp();
    lockMutex(&nativesLock);
    const Settled settled = settle(env, wait);
    if (settled == kSettled) {
        replaceBeatList(env, beats);
    }
    unlockMutex(&nativesLock);
    return settled;
}

// Returns the rhythm's serial, or 0 if it was not started.
int64_t startList(JNIEnv* env, jobject self, bool wait, bool precise, Settled* settled) {
    ensureSetUp();
    lockMutex(&nativesLock);
    *settled = settle(env, wait);
    const int64_t serial = *settled == kSettled ? startRhythm(env, self, precise) : 0;
    unlockMutex(&nativesLock);
    return serial;
}

} // namespace

// ---------------------------------------------------------------------------
// Exported functions

TEMBRIX_EXPORT int64_t getTimeNsec(void) {
    return nowNsec();
}

TEMBRIX_EXPORT jint JNICALL Java_drovak_android_NativeLibrary_interfaceVersion(JNIEnv*, jclass) {
    return kInterfaceVersion;
}

TEMBRIX_EXPORT void* sendTaps(void*) {
    const int64_t t0 = nowNsec();
    beginTapperThread();
    JNIEnv* env = nullptr;
    const jint attached = jvm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    if (attached != JNI_OK) {
        reportStarted(attached, t0, false);
        tellNatives(true);
        return nullptr;
    }
    tapperEnv.store(env);
    jobject thread = setUpJavaThread(env);
    const int64_t javaT0 = toJavaNanoTime(env, t0);
    // Raised only now: the attach and the set-up above allocate and take the
    // JVM's locks, which a real-time thread must not spin on.
    const bool realTime = requestRealTime();
    recordStart(env, javaT0, realTime);
    reportStarted(JNI_OK, t0, realTime);

    tapBeats(env, thread, t0, realTime);

    tapperFinishing.store(1);
    if (realTime) {
        dropRealTime();
    }
    // The way out: tell the natives and Java, either of which may then join
    // this thread (a stop waits for that in the one or the other); let go of the
    // Tapper, after which its class loader, and this library with it, may be
    // unloaded (JNI_OnUnload joins this thread first); detach, which ends the
    // Java thread, so that the next set or start joins this one instead of
    // finding it still tapping.
    tapperLeaving.store(1);
    tellNatives(false);
    tellJava(env);
    env->DeleteGlobalRef(obj);
    tapperEnv.store(nullptr);
    jvm->DetachCurrentThread();
    tellNatives(true);
    return nullptr;
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_setBeatList(JNIEnv* env, jobject, jdoubleArray beats) {
    if (rejectOnTapperThread(env, kSetFromTap)) {
        return;
    }
    if (beats == nullptr) {
        throwNew(env, "java/lang/NullPointerException", "beat list must not be null");
        return;
    }
    logLine(kSetLine);
    if (setList(env, beats, true) != kSettled) {
        throwNew(env, "java/lang/IllegalStateException",
                 "setBeatList() called while the tapper is tapping; call stopTapper() first");
    }
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_startTapper(JNIEnv* env, jobject self) {
    if (rejectOnTapperThread(env, kStartFromTap)) {
        return;
    }
    logLine(kStartLine);
    Settled settled;
    startList(env, self, true, false, &settled);
    if (settled != kSettled) {
        throwNew(env, "java/lang/IllegalStateException",
                 "startTapper() called while the tapper is tapping; call stopTapper() first");
    }
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_stopTapper(JNIEnv* env, jobject) {
    if (rejectOnTapperThread(env, kStopFromTap)) {
        return;
    }
    ensureSetUp();
    lockMutex(&nativesLock);
    if (running == 1) {
        setAppendTo(kAppendDropped);
        requestStop();
        if (waitForTapper(env, true)) {
            reapTapper(env); // and the list with it
        }
    } else {
        releaseBeatList();
    }
    unlockMutex(&nativesLock);
}

TEMBRIX_EXPORT jboolean JNICALL Java_drovak_android_Tapper_appendBeats(JNIEnv* env, jobject, jdoubleArray beats) {
    if (beats == nullptr) {
        throwNew(env, "java/lang/NullPointerException", "beats must not be null");
        return JNI_FALSE;
    }
    ensureSetUp();
    if (env->GetArrayLength(beats) == 0) {
        lockMutex(&listLock);
        const bool playing = appendTo == kAppendToRhythm;
        unlockMutex(&listLock);
        return playing ? JNI_TRUE : JNI_FALSE;
    }
    // Copied outside the lock, which the tapper thread takes to read the next
    // beat: it only ever waits for a few pointer moves.
    BeatChunk* chunk = copyToChunk(env, beats);
    if (chunk == nullptr) {
        return JNI_FALSE;
    }
    BeatChunk* released = nullptr;
    lockMutex(&listLock);
    const AppendTo where = appendTo;
    if (where == kAppendToRhythm) {
        if (liveLast != nullptr) {
            liveLast->next = chunk;
        } else {
            liveFirst = chunk;
        }
        liveLast = chunk;
        // The chunks the tapper thread has read to the end go.
        if (liveReading != nullptr && liveFirst != liveReading) {
            released = liveFirst;
            BeatChunk* last = released;
            while (last->next != liveReading) {
                last = last->next;
            }
            last->next = nullptr;
            liveFirst = liveReading;
        }
    } else if (where == kAppendToList) {
        if (pendingLast != nullptr) {
            pendingLast->next = chunk;
        } else {
            pendingFirst = chunk;
        }
        pendingLast = chunk;
    } else {
        released = chunk;
    }
    unlockMutex(&listLock);
    freeChunks(released);
    return where == kAppendToRhythm ? JNI_TRUE : JNI_FALSE;
}

TEMBRIX_EXPORT jint JNICALL Java_drovak_android_Tapper_nativeSetBeatList(JNIEnv* env, jobject,
                                                                         jdoubleArray beats, jboolean announce) {
    if (rejectOnTapperThread(env, kSetFromTap)) {
        return kDone;
    }
    if (announce) {
        logLine(kSetLine);
    }
    return outcomeOf(setList(env, beats, false));
}

TEMBRIX_EXPORT jlong JNICALL Java_drovak_android_Tapper_nativeStartTapper(JNIEnv* env, jobject self,
                                                                          jboolean precise, jboolean announce) {
    if (rejectOnTapperThread(env, kStartFromTap)) {
        return 0;
    }
    if (announce) {
        logLine(kStartLine);
    }
    Settled settled;
    const int64_t serial = startList(env, self, false, precise != JNI_FALSE, &settled);
    return settled == kSettled ? serial : -outcomeOf(settled);
}

// Asks the tapper thread to leave (only if it plays the rhythm of onlySerial,
// unless that is 0) and completes a stop whose thread has ended: joins it and
// frees the list. A thread that was outside tap() is given up to waitNsec
// (kStopBriefWaitNsec at most) to be on its way out first. Returns null once
// no stop remains to wait for, else the tapper thread's java.lang.Thread, for
// the caller to wait in Java for the rhythm's event and call again.
TEMBRIX_EXPORT jobject JNICALL Java_drovak_android_Tapper_nativeStopTapper(JNIEnv* env, jclass, jlong onlySerial,
                                                                          jlong waitNsec) {
    if (rejectOnTapperThread(env, kStopFromTap)) {
        return nullptr;
    }
    ensureSetUp();
    lockMutex(&nativesLock);
    jobject waitFor = nullptr;
    if (running != 1) {
        if (onlySerial == 0) {
            releaseBeatList();
        }
    } else if (onlySerial == 0 || onlySerial == rhythmSerial) {
        if (!stopRequested.load()) {
            setAppendTo(kAppendDropped);
            requestStop();
        }
        const bool outsideTap = tapperInTap.load(std::memory_order_relaxed) == 0;
        const int64_t briefNsec = waitNsec < kStopBriefWaitNsec ? waitNsec : kStopBriefWaitNsec;
        if (tapperLeaving.load() == 0 && !(outsideTap && briefNsec > 0 && waitLeaving(briefNsec))) {
            waitFor = tapperThreadObject != nullptr ? env->NewLocalRef(tapperThreadObject) : nullptr;
        }
        if (waitFor == nullptr) {
            reapTapper(env); // and the list with it
        }
    }
    unlockMutex(&nativesLock);
    return waitFor;
}

// The library is being unloaded: its class loader has been collected, so no
// Java code of it runs, and the tapper thread, if one is left, has let go of
// the Tapper and is on its way out. It is joined before the code it runs goes.
TEMBRIX_EXPORT void JNICALL JNI_OnUnload(JavaVM* vm, void*) {
    ensureSetUp();
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_6) != JNI_OK) {
        env = nullptr;
    }
    lockMutex(&nativesLock);
    if (running == 1) {
        if (tapperLeaving.load() == 0) {
            setAppendTo(kAppendDropped);
            requestStop();
        }
        reapTapper(env);
    }
    releaseBeatList();
    closeSleeper();
    unlockMutex(&nativesLock);
}
