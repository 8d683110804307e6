// tembrix: calls tap() on a Java object at each time of a beat list, from a
// native thread scheduled against a monotonic nanosecond clock.
//
// Plain procedural C++ with file-scope state. Only the three JNI natives,
// sendTaps and getTimeNsec are exported. The library needs libc alone: no C++
// runtime, no exceptions, no allocation outside setBeatList.
//
// Threads:
// - the natives run on Java threads and serialise on nativesLock;
// - the tapper thread reads the tapper state without a lock. The natives write
//   that state only while no tapper thread exists (before pthread_create or
//   after pthread_join), so creation and joining order every access.
// - a stop asks the tapper thread to leave and waits for it to end, and so
//   for a tap() in progress. The thread sleeps on a condition variable that
//   the stop signals; nothing is cancelled, so no thread is ever unwound.
// - every lookup that may run a class's static initialiser happens on the
//   caller's thread in startTapper, which may initialise its own class; the
//   tapper thread touches no class of the caller's before its first tap.
// - once the JVM has begun to shut down, a stop waits for tap() a bounded
//   time: tap() may be waiting for the exit that waits for that stop.

#include <jni.h>

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#if defined(__APPLE__) || defined(TEMBRIX_MACH_CLOCK)
#include <mach/mach_time.h>
#define TEMBRIX_USE_MACH_CLOCK 1
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

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_setBeatList(JNIEnv* env, jobject self,
                                                                             jdoubleArray beats);
TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_startTapper(JNIEnv* env, jobject self);
TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_stopTapper(JNIEnv* env, jobject self);
TEMBRIX_EXPORT void* sendTaps(void* argument);
TEMBRIX_EXPORT int64_t getTimeNsec(void);
TEMBRIX_EXPORT jint JNICALL Java_drovak_android_NativeLibrary_interfaceVersion(JNIEnv* env, jclass);

namespace {

// The natives' interface, as the jar's loader expects it: a file that answers
// with another number is a tembrix library of another version.
constexpr jint kInterfaceVersion = 2;

constexpr int64_t kNsecPerSec = 1000000000;
constexpr int64_t kNsecPerUsec = 1000;
constexpr double kUsecPerSec = 1000000.0;

// How often a stop that waits for the tapper thread looks whether the JVM has
// begun to shut down.
constexpr int64_t kStopCheckIntervalNsec = 20 * 1000 * 1000;

// Once the JVM shuts down, how long a stop waits for a tap() in progress
// before it leaves the thread to the ending process: long enough for a merely
// slow tap() to complete, short enough not to hold up the exit.
constexpr int64_t kShutdownStopWaitNsec = 1000 * 1000 * 1000;

// The class whose methods run the JVM's exit and its shutdown hooks. A thread
// with one of its frames on the stack never returns from that call.
constexpr const char* kShutdownClassName = "java.lang.Shutdown";

// The class that declares the natives, and its fields in which the library's
// own Tapper keeps what the tapper thread got: its start time, in
// System.nanoTime()'s time base, and whether it runs real-time. A Tapper class
// of the caller's own, without them, is left alone.
constexpr const char* kTapperClassName = "drovak/android/Tapper";
constexpr const char* kStartTimeField = "nativeStartTimeNanos";
constexpr const char* kRealTimeField = "nativeRealTime";

#if defined(__linux__)
// A Linux thread's timers may fire up to 50 us late by default so that the
// kernel can batch wake-ups. The tapper thread asks for the least slack there is.
constexpr unsigned long kTapperTimerSlackNsec = 1;

// The tapper thread asks for real-time scheduling at the lowest real-time
// priority, so that it outranks every normal thread but never an audio server
// or the kernel's own real-time threads. A process forked from tap() starts
// with the normal policy.
constexpr int kTapperPolicy = SCHED_FIFO | SCHED_RESET_ON_FORK;

// A real-time thread that calls into the JVM can starve the JVM's own threads:
// a lock or an allocation it spins on may be held by a normal thread that
// never gets the CPU. So a watchdog thread, one real-time priority higher,
// puts the tapper thread back to normal scheduling once it has spent
// kWatchdogLimitNsec in the JVM without sleeping (in one beat's tap(), or a
// run of overdue beats); it asks for real-time again before its next sleep.
constexpr int64_t kWatchdogLimitNsec = 3 * 1000 * 1000;
constexpr int kWatchdogPriorityAboveTapper = 1;
#endif

#if defined(__APPLE__)
// The time-constraint policy that audio threads use there. The tapper wakes
// when a beat is due, not on a fixed period; each wake-up needs the CPU for
// at most kTapperComputationNsec within kTapperConstraintNsec. A thread that
// overruns is preempted, or demoted for a while by the kernel's fail-safe.
constexpr int64_t kTapperComputationNsec = 500 * 1000;
constexpr int64_t kTapperConstraintNsec = 1000 * 1000;
#endif

// ---------------------------------------------------------------------------
// Tapper state. Written by the natives under nativesLock, and only while no
// tapper thread exists; read by the tapper thread.

JavaVM* jvm;
jobject obj;             // global reference to the Tapper being tapped; the tapper thread deletes it as it ends
int32_t running;         // 1 from startTapper until stopTapper has joined the thread
int32_t beatsLength;
double* beatsArray;      // owned: malloc'd by setBeatList, freed by stopTapper
pthread_t tapper_thread; // valid while running is 1
jmethodID tapMethod;     // tap() of obj's class, looked up by startTapper
jobject contextLoader;   // global reference, held across the start: the starting thread's context class loader

pthread_mutex_t nativesLock = PTHREAD_MUTEX_INITIALIZER;

// Set by the tapper thread once no tap can follow: as the last beat's tap()
// begins, and when it leaves. A set or start that finds it set waits for the
// thread to end, which the tap() in progress and the detach bound, and joins it.
std::atomic<int> tapperFinishing;

// The tapper thread's own JNIEnv while it is attached. A native called with
// this env runs inside tap(), on the tapper thread, and must not wait for it.
std::atomic<JNIEnv*> tapperEnv;

// A weak global reference to the tapper thread's java.lang.Thread, made by the
// thread before the start handshake and deleted by the natives once it is
// joined. Weak, so that an ended rhythm keeps nothing of the caller's alive.
jobject tapperThreadObject;

// Start handshake: startTapper waits until the new thread has read t0,
// attached (or failed to) and set up its scheduling, so that the JVM knows
// the thread and the Tapper knows its start before startTapper returns.
pthread_mutex_t startLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t startCond = PTHREAD_COND_INITIALIZER;
struct StartReport {
    bool done;
    jint attachResult;
    int64_t t0;
    bool realTime;
};
StartReport started;

// The tapper thread sleeps towards each beat on wakeCond, timed on the
// library's clock, until the beat is due or a stop asks it to leave.
pthread_mutex_t wakeLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wakeCond;
bool stopRequested; // under wakeLock

// End signal: the tapper thread's last step, so that a stop can wait for it
// with a time limit.
pthread_mutex_t endLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t endCond;
bool tapperEnded; // under endLock

#if defined(__linux__)
// The watchdog: it sleeps on a timer that fires only when the tapper thread
// has been in the JVM too long for one beat, and demotes it. The tapper thread
// publishes when it entered the JVM under watchLock; watchCond carries the
// watchdog's start.
pthread_mutex_t watchLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t watchCond;
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
#endif

// wakeCond and endCond time their waits on kCondClock; they and watchCond are
// set up once, before the first thread starts.
pthread_once_t condsOnce = PTHREAD_ONCE_INIT;
#if defined(__linux__)
constexpr clockid_t kCondClock = CLOCK_MONOTONIC;
#else
constexpr clockid_t kCondClock = CLOCK_REALTIME; // the only clock a condition variable takes there
#endif

// ---------------------------------------------------------------------------
// Clock

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

#else

inline int64_t nowNsec() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNsecPerSec + now.tv_nsec;
}

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

// ---------------------------------------------------------------------------
// Signals between the natives and the tapper thread

void setUpConds() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
#if defined(__linux__)
    pthread_condattr_setclock(&attributes, kCondClock);
#endif
    pthread_cond_init(&wakeCond, &attributes);
    pthread_cond_init(&endCond, &attributes);
#if defined(__linux__)
    pthread_cond_init(&watchCond, &attributes);
#endif
    pthread_condattr_destroy(&attributes);
}

void reportStarted(jint attachResult, int64_t t0, bool realTime) {
    pthread_mutex_lock(&startLock);
    started.attachResult = attachResult;
    started.t0 = t0;
    started.realTime = realTime;
    started.done = true;
    pthread_cond_signal(&startCond);
    pthread_mutex_unlock(&startLock);
}

StartReport waitStarted() {
    pthread_mutex_lock(&startLock);
    while (!started.done) {
        pthread_cond_wait(&startCond, &startLock);
    }
    const StartReport report = started;
    pthread_mutex_unlock(&startLock);
    return report;
}

void requestStop() {
    pthread_mutex_lock(&wakeLock);
    stopRequested = true;
    pthread_cond_broadcast(&wakeCond);
    pthread_mutex_unlock(&wakeLock);
}

// Sleeps until the clock reaches due, or returns at once if it has. Returns
// false, at once, when a stop has asked the thread to leave. A signal that
// wakes the thread early only sends it back to sleep until the same time.
bool sleepUntil(int64_t due) {
    pthread_mutex_lock(&wakeLock);
    for (;;) {
        if (stopRequested) {
            break;
        }
        const int64_t now = nowNsec();
        if (now >= due) {
            break;
        }
#if defined(__APPLE__)
        const struct timespec delay = toTimespec(due - now);
        pthread_cond_timedwait_relative_np(&wakeCond, &wakeLock, &delay);
#else
        // Absolute, on the clock that nowNsec() reads: no time passes between
        // the reading and the start of the wait that the wait does not count.
        const struct timespec at = toTimespec(due);
        pthread_cond_timedwait(&wakeCond, &wakeLock, &at);
#endif
    }
    const bool go = !stopRequested;
    pthread_mutex_unlock(&wakeLock);
    return go;
}

void signalEnded() {
    pthread_mutex_lock(&endLock);
    tapperEnded = true;
    pthread_cond_broadcast(&endCond);
    pthread_mutex_unlock(&endLock);
}

// Waits up to timeoutNsec for the tapper thread's end signal; true if it came.
bool waitEnded(int64_t timeoutNsec) {
    struct timespec deadline;
    clock_gettime(kCondClock, &deadline);
    const int64_t nsec = deadline.tv_nsec + timeoutNsec;
    deadline.tv_sec += static_cast<time_t>(nsec / kNsecPerSec);
    deadline.tv_nsec = static_cast<long>(nsec % kNsecPerSec);
    pthread_mutex_lock(&endLock);
    while (!tapperEnded && pthread_cond_timedwait(&endCond, &endLock, &deadline) == 0) {
    }
    const bool ended = tapperEnded;
    pthread_mutex_unlock(&endLock);
    return ended;
}

// ---------------------------------------------------------------------------
// Scheduling of the tapper thread

#if defined(__linux__)

// Switches a thread (0: the calling one) to SCHED_FIFO, the given number of
// priorities above the lowest; true if it runs real-time now.
bool setRealTime(pid_t thread, int aboveLowest) {
    struct sched_param param {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + aboveLowest;
    sched_setscheduler(thread, kTapperPolicy, &param);
    return (sched_getscheduler(thread) & ~SCHED_RESET_ON_FORK) == SCHED_FIFO;
}

void setNormal(pid_t thread) {
    struct sched_param param {};
    sched_setscheduler(thread, SCHED_OTHER, &param);
}

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
    const bool realTime = setRealTime(0, kWatchdogPriorityAboveTapper);
    pthread_mutex_lock(&watchLock);
    watch.ready = realTime ? 1 : -1;
    pthread_cond_broadcast(&watchCond);
    while (realTime && !watch.ending) {
        pthread_mutex_unlock(&watchLock);
        uint64_t expirations;
        const bool fired = read(watch.timer, &expirations, sizeof expirations) > 0; // else a signal: look again
        pthread_mutex_lock(&watchLock);
        // The timer may have fired as the tapper thread left the JVM, or for
        // an earlier beat: only a beat that is still running counts.
        if (fired && watch.busySince != 0 && !watch.demoted &&
            nowNsec() >= addSaturating(watch.busySince, kWatchdogLimitNsec)) {
            setNormal(watch.tapperTid);
            watch.demoted = true;
        }
    }
    pthread_mutex_unlock(&watchLock);
    return nullptr;
}

bool startWatchdog() {
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (timer < 0) {
        return false;
    }
    pthread_mutex_lock(&watchLock);
    watch = Watch{};
    watch.tapperTid = static_cast<pid_t>(syscall(SYS_gettid));
    watch.timer = timer;
    pthread_mutex_unlock(&watchLock);
    bool ready = false;
    if (pthread_create(&watchdog_thread, nullptr, watchTapper, nullptr) == 0) {
        pthread_mutex_lock(&watchLock);
        while (watch.ready == 0) {
            pthread_cond_wait(&watchCond, &watchLock);
        }
        ready = watch.ready == 1;
        pthread_mutex_unlock(&watchLock);
        if (!ready) {
            pthread_join(watchdog_thread, nullptr);
        }
    }
    if (!ready) {
        close(timer);
    }
    return ready;
}

void stopWatchdog() {
    pthread_mutex_lock(&watchLock);
    watch.ending = true;
    pthread_mutex_unlock(&watchLock);
    armWatchTimer(1); // long past: it fires at once
    pthread_join(watchdog_thread, nullptr);
    close(watch.timer);
}

// The tapper thread enters the JVM, after a sleep: two uncontended lock
// operations and one system call, with no thread woken.
void watchBusy() {
    pthread_mutex_lock(&watchLock);
    watch.busySince = nowNsec();
    const int64_t limit = addSaturating(watch.busySince, kWatchdogLimitNsec);
    pthread_mutex_unlock(&watchLock);
    armWatchTimer(limit);
}

// The tapper thread has left the JVM and is about to sleep. If the watchdog
// demoted it meanwhile, it asks for real-time again first.
void watchSleep() {
    pthread_mutex_lock(&watchLock);
    watch.busySince = 0;
    const bool demoted = watch.demoted;
    watch.demoted = false;
    pthread_mutex_unlock(&watchLock);
    armWatchTimer(0);
    if (demoted) {
        setRealTime(0, 0);
    }
}

#else

void watchBusy() {}
void watchSleep() {}

#endif

// Switches the calling thread to real-time scheduling where the process may
// have it, and returns whether it runs real-time now. Where it is refused, the
// thread goes on under the policy it has, with nothing reported.
// - Linux: SCHED_FIFO, under the watchdog, which itself needs the next
//   priority up (CAP_SYS_NICE, or an rtprio limit of 2 or more). Not where a
//   finite RLIMIT_RTTIME is set: a thread that runs real-time past it without
//   blocking gets SIGXCPU, which ends a JVM.
// - macOS: the time-constraint policy, whose own fail-safe demotes a thread
//   that overruns.
bool requestRealTime() {
#if defined(__linux__)
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
#elif defined(__APPLE__)
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
#else
    return false;
#endif
}

// Back to the normal policy, before the thread's last calls into the JVM.
void dropRealTime() {
#if defined(__linux__)
    setNormal(0);
    stopWatchdog();
#elif defined(__APPLE__)
    thread_standard_policy_data_t policy {};
    thread_policy_set(pthread_mach_thread_np(pthread_self()), THREAD_STANDARD_POLICY,
                      reinterpret_cast<thread_policy_t>(&policy), THREAD_STANDARD_POLICY_COUNT);
#endif
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
    // System.nanoTime() reads CLOCK_MONOTONIC as well.
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

// Taps each beat after the first when it is due. A real-time thread tells
// the watchdog when it enters the JVM and when it next sleeps: overdue beats
// tapped back to back count as one stay in the JVM, and cost no system call.
void tapBeats(JNIEnv* env, jobject thread, int64_t t0, bool realTime) {
    if (beatsLength < 2) {
        return;
    }
    bool inJvm = false;
    for (int32_t i = 1;; ++i) {
        // Convert the beat before reading the clock, so that only a comparison
        // lies between the reading and the sleep.
        const int64_t due = addSaturating(t0, beatOffsetNsec(beatsArray[i]));
        if (inJvm && nowNsec() < due) {
            watchSleep();
            inJvm = false;
        }
        if (!sleepUntil(due)) {
            return;
        }
        const bool last = i + 1 >= beatsLength;
        if (last) {
            tapperFinishing.store(1);
        }
        if (realTime && !inJvm) {
            watchBusy();
            inJvm = true;
        }
        env->CallVoidMethod(obj, tapMethod);
        if (env->ExceptionCheck()) {
            handleTapException(env, thread);
        }
        if (last) {
            return;
        }
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

// Waits for the tapper thread's end signal. Outside shutdown it waits as long
// as the thread takes. Once the JVM shuts down, it gives up at once on a tap()
// inside the JVM's exit, and on any other after kShutdownStopWaitNsec: the
// tap() may be waiting for the exit, which waits for this call. Returns
// whether the thread ended.
bool waitForTapperEnd(JNIEnv* env) {
    int64_t shutdownSeen = -1;
    while (!waitEnded(kStopCheckIntervalNsec)) {
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

// Asks the tapper thread to leave, waits for it to end and joins it; the
// list stays as it is. A tap() in progress completes first. Returns false if
// the JVM is shutting down and the thread did not end in time: it is then
// left to the ending process with all it uses.
bool endTapperThread(JNIEnv* env) {
    if (running != 1) {
        return true;
    }
    requestStop();
    if (!waitForTapperEnd(env)) {
        return false;
    }
    pthread_join(tapper_thread, nullptr);
    running = 0;
    obj = nullptr; // the thread deleted its global reference as it ended
    if (tapperThreadObject != nullptr) {
        env->DeleteWeakGlobalRef(tapperThreadObject);
        tapperThreadObject = nullptr;
    }
    return true;
}

// A thread that has begun its last tap, or ended, is joined by the next call.
void reapFinishedTapper(JNIEnv* env) {
    if (running == 1 && tapperFinishing.load() != 0) {
        endTapperThread(env);
    }
}

// Called right after reapFinishedTapper: a thread it left running was still
// tapping when it looked, even if it has ended since, and is not yet joined.
bool tapping() {
    return running == 1;
}

// A native called from tap() on the tapper thread would wait for itself.
bool rejectOnTapperThread(JNIEnv* env, const char* message) {
    if (env != tapperEnv.load()) {
        return false;
    }
    throwNew(env, "java/lang/IllegalStateException", message);
    return true;
}

void releaseBeatList() {
    free(beatsArray);
    beatsArray = nullptr;
    beatsLength = 0;
}

// Writes one of the library's two lines. Called with no lock held, so that an
// output that blocks (a full pipe that nobody reads) holds back only the call
// that writes, never a stop.
void logLine(const char* line) {
    puts(line);
    fflush(stdout);
}

// Records in the Tapper what its tapper thread got, if the class has the
// fields for it: the class that declares the natives is looked up, not the
// object's own class, whose subclass may have fields of the same names.
void recordStart(JNIEnv* env, jobject self, const StartReport& report) {
    jclass tapperClass = env->FindClass(kTapperClassName);
    if (tapperClass == nullptr) {
        env->ExceptionClear();
        return;
    }
    jfieldID realTime = env->GetFieldID(tapperClass, kRealTimeField, "Z");
    if (env->ExceptionCheck()) {
        env->ExceptionClear(); // a Tapper class of the caller's own, without the field
    } else {
        env->SetBooleanField(self, realTime, report.realTime ? JNI_TRUE : JNI_FALSE);
    }
    // Written last: the start time tells that a rhythm has started.
    jfieldID startTime = env->GetFieldID(tapperClass, kStartTimeField, "J");
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
    } else {
        env->SetLongField(self, startTime, toJavaNanoTime(env, report.t0));
    }
    env->DeleteLocalRef(tapperClass);
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
    JNIEnv* env = nullptr;
    const jint attached = jvm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    if (attached != JNI_OK) {
        reportStarted(attached, t0, false);
        signalEnded();
        return nullptr;
    }
    tapperEnv.store(env);
    jobject thread = setUpJavaThread(env);
#if defined(__linux__)
    prctl(PR_SET_TIMERSLACK, kTapperTimerSlackNsec, 0, 0, 0);
#endif
    // Raised only now: the attach and the set-up above allocate and take the
    // JVM's locks, which a real-time thread must not spin on.
    const bool realTime = requestRealTime();
    reportStarted(JNI_OK, t0, realTime);

    tapBeats(env, thread, t0, realTime);

    tapperFinishing.store(1);
    if (realTime) {
        dropRealTime();
    }
    env->DeleteGlobalRef(obj);
    // Finishing is marked before the detach: once the Java thread has
    // terminated, the next set or start joins this one instead of finding it
    // still tapping.
    tapperEnv.store(nullptr);
    jvm->DetachCurrentThread();
    signalEnded();
    return nullptr;
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_setBeatList(JNIEnv* env, jobject,
                                                                             jdoubleArray beats) {
    if (rejectOnTapperThread(env, "setBeatList() cannot be called from tap(): it would wait for tap() to "
                                  "return; hand it to another thread without waiting for it")) {
        return;
    }
    if (beats == nullptr) {
        throwNew(env, "java/lang/NullPointerException", "beat list must not be null");
        return;
    }
    logLine("Set beat list native");
    pthread_mutex_lock(&nativesLock);
    reapFinishedTapper(env);
    if (tapping()) {
        throwNew(env, "java/lang/IllegalStateException",
                 "setBeatList() called while the tapper is tapping; call stopTapper() first");
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    const jsize length = env->GetArrayLength(beats);
    double* block = static_cast<double*>(malloc(static_cast<size_t>(length) * sizeof(double)));
    releaseBeatList();
    if (block == nullptr && length > 0) {
        throwNew(env, "java/lang/OutOfMemoryError", "unable to allocate the beat list");
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    // One copy, straight into the owned block; the Java array is never written.
    env->GetDoubleArrayRegion(beats, 0, length, block);
    if (env->ExceptionCheck()) {
        free(block);
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    beatsLength = length;
    beatsArray = block;
    pthread_mutex_unlock(&nativesLock);
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_startTapper(JNIEnv* env, jobject self) {
    if (rejectOnTapperThread(env, "startTapper() cannot be called from tap(): it would wait for tap() to "
                                  "return; hand it to another thread without waiting for it")) {
        return;
    }
    logLine("Start native tapping ");
    pthread_mutex_lock(&nativesLock);
    reapFinishedTapper(env);
    if (tapping()) {
        throwNew(env, "java/lang/IllegalStateException",
                 "startTapper() called while the tapper is tapping; call stopTapper() first");
        pthread_mutex_unlock(&nativesLock);
        return;
    }
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
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    env->GetJavaVM(&jvm);
    obj = env->NewGlobalRef(self);
    if (obj == nullptr) {
        if (!env->ExceptionCheck()) {
            throwNew(env, "java/lang/OutOfMemoryError", "unable to create a global reference to the Tapper");
        }
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    jobject callerThread = currentJavaThread(env);
    jobject loader = callerThread != nullptr
        ? callObject(env, callerThread, "getContextClassLoader", "()Ljava/lang/ClassLoader;")
        : nullptr;
    contextLoader = loader != nullptr ? env->NewGlobalRef(loader) : nullptr;
    env->DeleteLocalRef(loader);
    env->DeleteLocalRef(callerThread);

    pthread_once(&condsOnce, setUpConds);
    tapMethod = tap;
    running = 1;
    tapperFinishing.store(0);
    started = StartReport{};
    stopRequested = false;
    tapperEnded = false;
    const int created = pthread_create(&tapper_thread, nullptr, sendTaps, env);
    StartReport report{};
    if (created == 0) {
        report = waitStarted();
    }
    if (contextLoader != nullptr) {
        env->DeleteGlobalRef(contextLoader);
        contextLoader = nullptr;
    }
    if (created != 0 || report.attachResult != JNI_OK) {
        if (created == 0) {
            pthread_join(tapper_thread, nullptr);
        }
        running = 0;
        env->DeleteGlobalRef(obj);
        obj = nullptr;
        if (created != 0) {
            throwNew(env, "java/lang/OutOfMemoryError", "unable to create tapper thread");
        } else {
            throwAttachFailure(env, report.attachResult);
        }
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    recordStart(env, self, report);
    pthread_mutex_unlock(&nativesLock);
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_stopTapper(JNIEnv* env, jobject) {
    if (rejectOnTapperThread(env, "stopTapper() cannot be called from tap(): it waits for tap() to return. "
                                  "Hand the stop to another thread and do not wait for it there")) {
        return;
    }
    pthread_mutex_lock(&nativesLock);
    if (endTapperThread(env)) {
        releaseBeatList();
    }
    pthread_mutex_unlock(&nativesLock);
}
