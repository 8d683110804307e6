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
// - a stop waits for the tapper thread to end, and so for a tap() in progress.
//   The one wait it gives up is for a tap() that has called the JVM's exit:
//   that call never returns, and the stop may be the exit's own shutdown hook.

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

namespace {

constexpr int64_t kNsecPerSec = 1000000000;
constexpr int64_t kNsecPerUsec = 1000;
constexpr double kUsecPerSec = 1000000.0;

// How often a stop that waits for tap() to return looks whether tap() is
// inside the JVM's exit.
constexpr int64_t kStopCheckIntervalNsec = 20 * 1000 * 1000;

// The class whose methods run the JVM's exit and its shutdown hooks. A thread
// with one of its frames on the stack never returns from that call.
constexpr const char* kShutdownClassName = "java.lang.Shutdown";

// The long field in which the library's own Tapper keeps the start time, in
// System.nanoTime()'s time base. A Tapper class without it is left alone.
constexpr const char* kStartTimeField = "nativeStartTimeNanos";

#if defined(__linux__)
// A Linux thread's timers may fire up to 50 us late by default so that the
// kernel can batch wake-ups. The tapper thread asks for the least slack there is.
constexpr unsigned long kTapperTimerSlackNsec = 1;

// The tapper thread asks for real-time scheduling at the lowest real-time
// priority, so that it outranks every normal thread but never an audio server
// or the kernel's own real-time threads. A process forked from tap() starts
// with the normal policy.
constexpr int kTapperPolicy = SCHED_FIFO | SCHED_RESET_ON_FORK;
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
jobject obj;             // global reference to the Tapper being tapped
int32_t running;         // 1 from startTapper until stopTapper has joined the thread
int32_t beatsLength;
double* beatsArray;      // owned: malloc'd by setBeatList, freed by stopTapper
pthread_t tapper_thread; // valid while running is 1

pthread_mutex_t nativesLock = PTHREAD_MUTEX_INITIALIZER;

// Set by the tapper thread as its last step when it ends by itself, so that a
// later call can tell a finished thread from one still tapping.
std::atomic<int> tapperFinished;

// The tapper thread's own JNIEnv while it is attached. A native called with
// this env runs inside tap(), on the tapper thread, and must not wait for it.
std::atomic<JNIEnv*> tapperEnv;

// The tapper thread's java.lang.Thread, a global reference made by the thread
// before the start handshake and deleted by the natives once it is joined.
jobject tapperThreadObject;

// Start handshake: startTapper waits until the new thread has read t0 and
// attached (or failed to), so that the JVM knows the thread before
// startTapper returns.
pthread_mutex_t startLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t startCond = PTHREAD_COND_INITIALIZER;
bool tapperStarted;

// End signal: the tapper thread's last step, whether it ends by itself or is
// cancelled, so that a stop can wait for it with a time limit. endCond times
// its waits on kEndClock; it is set up once, before the first thread starts.
pthread_mutex_t endLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t endCond;
pthread_once_t endCondOnce = PTHREAD_ONCE_INIT;
std::atomic<bool> tapperEnded; // written under endLock; atomic because a cancelled thread writes it while it unwinds
#if defined(__linux__)
constexpr clockid_t kEndClock = CLOCK_MONOTONIC;
#else
constexpr clockid_t kEndClock = CLOCK_REALTIME; // the only clock a condition variable takes there
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

int64_t subSaturating(int64_t a, int64_t b) {
    int64_t difference;
    if (__builtin_sub_overflow(a, b, &difference)) {
        return b < 0 ? INT64_MAX : INT64_MIN;
    }
    return difference;
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

// The nanosleep request for a positive delay: whole seconds and a nanosecond
// part in [0, 999999999].
struct timespec sleepRequest(int64_t delayNsec) {
    struct timespec request;
    if (delayNsec < kNsecPerSec) {
        request.tv_sec = 0;
        request.tv_nsec = static_cast<long>(delayNsec);
    } else {
        request.tv_sec = static_cast<time_t>(delayNsec / kNsecPerSec);
        request.tv_nsec = static_cast<long>(delayNsec % kNsecPerSec);
    }
    return request;
}

// ---------------------------------------------------------------------------
// Tapper thread

// Switches the calling thread to real-time scheduling where the process may
// have it (CAP_SYS_NICE, or an rtprio limit). Where it is refused, the thread
// goes on under the policy it has, with nothing reported.
void requestRealTime() {
#if defined(__linux__)
    struct sched_param param {};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO);
    sched_setscheduler(0, kTapperPolicy, &param);
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
    thread_policy_set(pthread_mach_thread_np(pthread_self()), THREAD_TIME_CONSTRAINT_POLICY,
                      reinterpret_cast<thread_policy_t>(&policy), THREAD_TIME_CONSTRAINT_POLICY_COUNT);
#endif
}

void signalStarted() {
    pthread_mutex_lock(&startLock);
    tapperStarted = true;
    pthread_cond_signal(&startCond);
    pthread_mutex_unlock(&startLock);
}

void waitStarted() {
    pthread_mutex_lock(&startLock);
    while (!tapperStarted) {
        pthread_cond_wait(&startCond, &startLock);
    }
    pthread_mutex_unlock(&startLock);
}

void setUpEndCond() {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
#if defined(__linux__)
    pthread_condattr_setclock(&attributes, kEndClock);
#endif
    pthread_cond_init(&endCond, &attributes);
    pthread_condattr_destroy(&attributes);
}

void signalEnded() {
    pthread_mutex_lock(&endLock);
    tapperEnded.store(true);
    pthread_cond_broadcast(&endCond);
    pthread_mutex_unlock(&endLock);
}

// Waits up to timeoutNsec for the tapper thread's end signal; true if it came.
bool waitEnded(int64_t timeoutNsec) {
    struct timespec deadline;
    clock_gettime(kEndClock, &deadline);
    const int64_t nsec = deadline.tv_nsec + timeoutNsec;
    deadline.tv_sec += static_cast<time_t>(nsec / kNsecPerSec);
    deadline.tv_nsec = static_cast<long>(nsec % kNsecPerSec);
    pthread_mutex_lock(&endLock);
    while (!tapperEnded.load() && pthread_cond_timedwait(&endCond, &endLock, &deadline) == 0) {
    }
    const bool ended = tapperEnded.load();
    pthread_mutex_unlock(&endLock);
    return ended;
}

// Cancellation is disabled on the tapper thread except here, so a stop takes
// effect only in the sleep (or, for an overdue beat, right here), never inside
// tap() or the JVM. Returns false when a signal cut the sleep short.
bool sleepUntilDue(int64_t delayNsec) {
    int previous;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
    bool interrupted = false;
    if (delayNsec > 0) {
        const struct timespec request = sleepRequest(delayNsec);
        interrupted = nanosleep(&request, nullptr) != 0 && errno == EINTR;
    } else {
        // An overdue beat needs no syscall, but a stop must still land between
        // overdue beats.
        pthread_testcancel();
    }
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    return !interrupted;
}

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

// Gives the newly attached tapper thread what a Java thread started by the
// Tapper's own code would have: the Tapper's class loader as its context class
// loader. Keeps a global reference to its java.lang.Thread, and records the
// start time t0 in the Tapper if its class has the field for it.
void setUpJavaThread(JNIEnv* env, int64_t t0) {
    jclass tapperClass = env->GetObjectClass(obj);
    jobject thread = currentJavaThread(env);
    if (thread != nullptr) {
        tapperThreadObject = env->NewGlobalRef(thread);
        describeAndClear(env);
        jobject loader = callObject(env, tapperClass, "getClassLoader", "()Ljava/lang/ClassLoader;");
        callVoid(env, thread, "setContextClassLoader", "(Ljava/lang/ClassLoader;)V", loader);
        env->DeleteLocalRef(loader);
        env->DeleteLocalRef(thread);
    }
    jfieldID startTime = env->GetFieldID(tapperClass, kStartTimeField, "J");
    if (env->ExceptionCheck()) {
        env->ExceptionClear(); // a Tapper class of the caller's own, without the field
    } else {
        env->SetLongField(obj, startTime, toJavaNanoTime(env, t0));
    }
    env->DeleteLocalRef(tapperClass);
}

// Hands the exception that tap() threw to the thread's uncaught-exception
// handler (its own, else its group, which passes it to the default handler),
// as the JVM does for a Java thread whose run() throws. An exception from the
// handler itself is reported on standard error.
void handleTapException(JNIEnv* env) {
    jthrowable thrown = env->ExceptionOccurred();
    env->ExceptionClear();
    jobject handler = nullptr;
    if (tapperThreadObject != nullptr) {
        handler = callObject(env, tapperThreadObject, "getUncaughtExceptionHandler",
                             "()Ljava/lang/Thread$UncaughtExceptionHandler;");
    }
    if (handler != nullptr) {
        callVoid(env, handler, "uncaughtException", "(Ljava/lang/Thread;Ljava/lang/Throwable;)V",
                 tapperThreadObject, thrown);
        env->DeleteLocalRef(handler);
    } else {
        env->Throw(thrown);
        describeAndClear(env);
    }
    env->DeleteLocalRef(thrown);
}

void tapBeats(JNIEnv* env, jmethodID tap, int64_t t0) {
    if (running != 1 || beatsLength < 2) {
        return;
    }
    for (int32_t i = 1;; ++i) {
        // Convert the beat before reading the clock, so that only a subtraction
        // lies between the reading and the sleep.
        const int64_t due = addSaturating(t0, beatOffsetNsec(beatsArray[i]));
        if (!sleepUntilDue(subSaturating(due, nowNsec()))) {
            return;
        }
        env->CallVoidMethod(obj, tap);
        if (env->ExceptionCheck()) {
            handleTapException(env);
        }
        if (beatsLength == 0 || running != 1 || i + 1 >= beatsLength) {
            return;
        }
    }
}

void detach() {
    tapperEnv.store(nullptr);
    jvm->DetachCurrentThread();
}

// Runs when the thread is cancelled in its sleep: it never reaches its own
// detach, and a JVM waits at exit for every attached thread.
void detachOnCancel(void*) {
    detach();
    signalEnded();
}

// True if the thread is running the JVM's exit: tap() called System.exit()
// and waits for the shutdown hooks to finish, or for another thread's exit.
// Such a call never returns.
bool insideJvmExit(JNIEnv* env, jobject thread) {
    if (thread == nullptr) {
        return false;
    }
    jobjectArray frames = static_cast<jobjectArray>(
        callObject(env, thread, "getStackTrace", "()[Ljava/lang/StackTraceElement;"));
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

// ---------------------------------------------------------------------------
// Natives

// Throws a new exception of the named class; whatever FindClass raised stays
// pending if the class cannot be found.
void throwNew(JNIEnv* env, const char* className, const char* message) {
    jclass exceptionClass = env->FindClass(className);
    if (exceptionClass != nullptr) {
        env->ThrowNew(exceptionClass, message);
        env->DeleteLocalRef(exceptionClass);
    }
}

// A native called from tap() on the tapper thread would wait for itself.
bool rejectOnTapperThread(JNIEnv* env, const char* message) {
    if (env != tapperEnv.load()) {
        return false;
    }
    throwNew(env, "java/lang/IllegalStateException", message);
    return true;
}

// Called right after reapFinishedTapper: a thread it left running was still
// tapping when it looked, even if it has ended since, and is not yet joined.
bool tapping() {
    return running == 1;
}

// Joins the tapper thread (cancelling it first if it is still tapping) and
// releases its global references; the list stays as it is. A tap() in
// progress completes first, however long it takes, unless it is inside the
// JVM's exit: then the process is ending, the thread is left to it with all
// it uses, and this returns false.
bool endTapperThread(JNIEnv* env) {
    if (running != 1) {
        return true;
    }
    pthread_cancel(tapper_thread);
    while (!waitEnded(kStopCheckIntervalNsec)) {
        if (insideJvmExit(env, tapperThreadObject)) {
            return false;
        }
    }
    pthread_join(tapper_thread, nullptr);
    running = 0;
    env->DeleteGlobalRef(obj);
    obj = nullptr;
    if (tapperThreadObject != nullptr) {
        env->DeleteGlobalRef(tapperThreadObject);
        tapperThreadObject = nullptr;
    }
    return true;
}

// A thread that ended by itself after its last beat is joined by the next call.
void reapFinishedTapper(JNIEnv* env) {
    if (running == 1 && tapperFinished.load() != 0) {
        endTapperThread(env);
    }
}

void releaseBeatList() {
    free(beatsArray);
    beatsArray = nullptr;
    beatsLength = 0;
}

void logLine(const char* line) {
    puts(line);
    fflush(stdout);
}

} // namespace

// ---------------------------------------------------------------------------
// Exported functions

TEMBRIX_EXPORT int64_t getTimeNsec(void) {
    return nowNsec();
}

TEMBRIX_EXPORT void* sendTaps(void*) {
    int previous;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    const int64_t t0 = nowNsec();
    requestRealTime();
#if defined(__linux__)
    prctl(PR_SET_TIMERSLACK, kTapperTimerSlackNsec, 0, 0, 0);
#endif
    JNIEnv* env = nullptr;
    const bool attached = jvm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) == JNI_OK;
    if (attached) {
        tapperEnv.store(env);
        setUpJavaThread(env, t0);
    }
    signalStarted();
    if (!attached) {
        tapperFinished.store(1);
        signalEnded();
        return nullptr;
    }

    pthread_cleanup_push(detachOnCancel, nullptr);
    jmethodID tap = methodOf(env, obj, "tap", "()V");
    if (tap != nullptr) {
        tapBeats(env, tap, t0);
    }
    pthread_cleanup_pop(0);

    // Finished before the detach: once the Java thread has terminated, the
    // next set or start joins this one instead of finding it still tapping.
    tapperFinished.store(1);
    detach();
    signalEnded();
    return nullptr;
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_setBeatList(JNIEnv* env, jobject,
                                                                             jdoubleArray beats) {
    if (rejectOnTapperThread(env, "setBeatList() cannot be called from tap(); call it from another thread")) {
        return;
    }
    if (beats == nullptr) {
        throwNew(env, "java/lang/NullPointerException", "beat list must not be null");
        return;
    }
    pthread_mutex_lock(&nativesLock);
    reapFinishedTapper(env);
    if (tapping()) {
        throwNew(env, "java/lang/IllegalStateException",
                 "setBeatList() called while the tapper is tapping; call stopTapper() first");
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    logLine("Set beat list native");

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
    if (rejectOnTapperThread(env, "startTapper() cannot be called from tap(); call it from another thread")) {
        return;
    }
    pthread_mutex_lock(&nativesLock);
    reapFinishedTapper(env);
    if (tapping()) {
        throwNew(env, "java/lang/IllegalStateException",
                 "startTapper() called while the tapper is tapping; call stopTapper() first");
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
    pthread_once(&endCondOnce, setUpEndCond);
    running = 1;
    tapperFinished.store(0);
    tapperStarted = false;
    tapperEnded.store(false);
    logLine("Start native tapping ");

    if (pthread_create(&tapper_thread, nullptr, sendTaps, env) != 0) {
        running = 0;
        env->DeleteGlobalRef(obj);
        obj = nullptr;
        throwNew(env, "java/lang/OutOfMemoryError", "unable to create tapper thread");
        pthread_mutex_unlock(&nativesLock);
        return;
    }
    waitStarted();
    pthread_mutex_unlock(&nativesLock);
}

TEMBRIX_EXPORT void JNICALL Java_drovak_android_Tapper_stopTapper(JNIEnv* env, jobject) {
    if (rejectOnTapperThread(env, "stopTapper() cannot be called from tap(); call it from another thread")) {
        return;
    }
    pthread_mutex_lock(&nativesLock);
    if (endTapperThread(env)) {
        releaseBeatList();
    }
    pthread_mutex_unlock(&nativesLock);
}
