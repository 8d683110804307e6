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

#include <jni.h>

#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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

// Start handshake: startTapper waits until the new thread has read t0 and
// attached (or failed to), so that the JVM knows the thread before
// startTapper returns.
pthread_mutex_t startLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t startCond = PTHREAD_COND_INITIALIZER;
bool tapperStarted;

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

// Reports a pending Java exception the way an uncaught one is reported, and
// clears it. Returns true if there was one.
bool describeAndClear(JNIEnv* env) {
    if (!env->ExceptionCheck()) {
        return false;
    }
    env->ExceptionDescribe();
    env->ExceptionClear();
    return true;
}

jmethodID lookUpTap(JNIEnv* env) {
    jclass tapperClass = env->GetObjectClass(obj);
    jmethodID tap = env->GetMethodID(tapperClass, "tap", "()V");
    if (describeAndClear(env)) {
        tap = nullptr;
    }
    env->DeleteLocalRef(tapperClass);
    return tap;
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
        describeAndClear(env);
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
// releases its global reference. The list stays as it is.
void endTapperThread(JNIEnv* env) {
    if (running != 1) {
        return;
    }
    pthread_cancel(tapper_thread);
    pthread_join(tapper_thread, nullptr);
    running = 0;
    env->DeleteGlobalRef(obj);
    obj = nullptr;
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
    }
    signalStarted();
    if (!attached) {
        tapperFinished.store(1);
        return nullptr;
    }

    pthread_cleanup_push(detachOnCancel, nullptr);
    jmethodID tap = lookUpTap(env);
    if (tap != nullptr) {
        tapBeats(env, tap, t0);
    }
    pthread_cleanup_pop(0);

    detach();
    tapperFinished.store(1);
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
    running = 1;
    tapperFinished.store(0);
    tapperStarted = false;
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
    endTapperThread(env);
    releaseBeatList();
    pthread_mutex_unlock(&nativesLock);
}
