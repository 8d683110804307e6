// Drives the natives and the tapper thread through the fake JNI environment.
// The library's source is compiled into this test so that its internal state
// and helpers can be checked directly.

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "fake_jni.h"

// Allocation and thread creation that a test can make fail.
namespace {
bool failNextMalloc;
bool failNextThreadCreate;

void* mallocOrFail(size_t size) {
    if (failNextMalloc) {
        failNextMalloc = false;
        return nullptr;
    }
    return malloc(size);
}

int pthreadCreateOrFail(pthread_t* thread, const pthread_attr_t* attr, void* (*entry)(void*), void* arg) {
    if (failNextThreadCreate) {
        failNextThreadCreate = false;
        return EAGAIN;
    }
    return pthread_create(thread, attr, entry, arg);
}

// A thread that has switched itself to SCHED_FIFO drops CAP_SYS_NICE, as a
// process under an rtprio limit runs without it (capabilities are per thread).
std::atomic<bool> dropSysNiceOnceFifo{false};

void dropSysNice() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    syscall(SYS_capget, &header, data);
    data[CAP_TO_INDEX(CAP_SYS_NICE)].effective &= ~CAP_TO_MASK(CAP_SYS_NICE);
    syscall(SYS_capset, &header, data);
}

int schedSetschedulerThenDropNice(pid_t pid, int policy, const sched_param* param) {
    const int result = sched_setscheduler(pid, policy, param);
    if (dropSysNiceOnceFifo && result == 0 && pid == 0 && (policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO) {
        dropSysNice();
    }
    return result;
}
} // namespace

#define malloc mallocOrFail
#define pthread_create pthreadCreateOrFail
#define sched_setscheduler schedSetschedulerThenDropNice
#include "../tembrix.cpp"
#undef malloc
#undef pthread_create
#undef sched_setscheduler

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

fake::Jvm& vm = fake::jvm();
fake::Env& caller = vm.caller;

void setBeats(std::vector<double> values) {
    static fake::Array array;
    array.values = std::move(values);
    Java_drovak_android_Tapper_setBeatList(vm.env(), fake::tapperObject(), fake::newArray(array));
}

void start() { Java_drovak_android_Tapper_startTapper(vm.env(), fake::tapperObject()); }
void stop() { Java_drovak_android_Tapper_stopTapper(vm.env(), fake::tapperObject()); }

bool append(std::vector<double> values, JNIEnv* env = vm.env()) {
    fake::Array array{std::move(values)};
    return Java_drovak_android_Tapper_appendBeats(env, fake::tapperObject(), fake::newArray(array)) == JNI_TRUE;
}

// The calls of the library's own Tapper, which leave every wait for tap() to Java.
jint ownSet(std::vector<double> values, JNIEnv* env = vm.env()) {
    fake::Array array{std::move(values)};
    return Java_drovak_android_Tapper_nativeSetBeatList(env, fake::tapperObject(), fake::newArray(array), JNI_FALSE);
}
jlong ownStart(bool precise = false) {
    return Java_drovak_android_Tapper_nativeStartTapper(vm.env(), fake::tapperObject(), precise, JNI_FALSE);
}
jobject ownStop(jlong onlySerial = 0, jlong waitNsec = 0) {
    return Java_drovak_android_Tapper_nativeStopTapper(vm.env(), nullptr, onlySerial, waitNsec);
}

int liveChunks() {
    lockMutex(&listLock);
    int count = 0;
    for (BeatChunk* chunk = liveFirst; chunk != nullptr; chunk = chunk->next) {
        ++count;
    }
    unlockMutex(&listLock);
    return count;
}

// Waits, within a generous bound, for the tapper thread to end by itself.
bool waitFinished() {
    return waitNews(duration_cast<nanoseconds>(5s).count(), true);
}

// Holds the tapper thread inside its first tap() until released.
class TapGate {
public:
    TapGate() {
        gate.lock();
        vm.onTap = [this] {
            inTap = true;
            std::lock_guard<std::mutex> wait(gate);
        };
    }
    void waitInTap() {
        while (!inTap) {
            std::this_thread::yield();
        }
    }
    void release() { gate.unlock(); }

private:
    std::mutex gate;
    std::atomic<bool> inTap{false};
};

class Natives : public ::testing::Test {
protected:
    void SetUp() override { vm.reset(); }

    // Every path leaves the state empty, every attach detached and every
    // global reference released.
    void TearDown() override {
        stop();
        EXPECT_EQ(running, 0);
        EXPECT_EQ(beatsLength, 0);
        EXPECT_EQ(beatsArray, nullptr);
        EXPECT_EQ(pendingFirst, nullptr);
        EXPECT_EQ(liveFirst, nullptr);
        EXPECT_EQ(obj, nullptr);
        EXPECT_EQ(vm.liveGlobalRefs.load(), 0);
        EXPECT_EQ(vm.liveThreadRefs.load(), 0);
        EXPECT_EQ(vm.liveLoaderRefs.load(), 0);
        EXPECT_EQ(vm.attaches.load(), vm.detaches.load());
        EXPECT_EQ(vm.tapsOnWrongEnv.load(), 0);
        EXPECT_EQ(tapperEnv.load(), nullptr);
    }
};

// --- Time arithmetic --------------------------------------------------------

TEST(TimeArithmetic, TimespecsSplitAtOneSecond) {
    struct {
        int64_t delay;
        time_t sec;
        long nsec;
    } const cases[] = {
        {1, 0, 1},
        {999999999, 0, 999999999},
        {1000000000, 1, 0},
        {1000000001, 1, 1},
        {3500000000, 3, 500000000},
    };
    for (const auto& c : cases) {
        const timespec request = toTimespec(c.delay);
        EXPECT_EQ(request.tv_sec, c.sec) << c.delay;
        EXPECT_EQ(request.tv_nsec, c.nsec) << c.delay;
    }
    // 100 years, and the longest: past a 32-bit time_t (32-bit ARM), its largest value.
    constexpr int64_t kMaxSec = std::numeric_limits<time_t>::max();
    for (const int64_t delay : {INT64_C(3155760000000000000), INT64_MAX}) {
        const timespec request = toTimespec(delay);
        const bool fits = delay / 1000000000 <= kMaxSec;
        EXPECT_EQ(static_cast<int64_t>(request.tv_sec), fits ? delay / 1000000000 : kMaxSec) << delay;
        EXPECT_EQ(request.tv_nsec, fits ? delay % 1000000000 : 999999999) << delay;
    }
}

TEST(TimeArithmetic, BeatTimesTruncateToTheMicrosecondLikeAJavaCast) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(beatOffsetNsec(1.0000005), 1000000000);
    EXPECT_EQ(beatOffsetNsec(-0.0000005), 0);
    EXPECT_EQ(beatOffsetNsec(0.5), 500000000);
    EXPECT_EQ(beatOffsetNsec(-1.25), -1250000000);
    EXPECT_EQ(beatOffsetNsec(0.0000019), 1000);
    EXPECT_EQ(beatOffsetNsec(std::nan("")), 0);
    EXPECT_EQ(beatOffsetNsec(inf), INT64_MAX);
    EXPECT_EQ(beatOffsetNsec(1e300), INT64_MAX);
    EXPECT_EQ(beatOffsetNsec(-inf), INT64_MIN);
    EXPECT_EQ(beatOffsetNsec(-1e300), INT64_MIN);
    // Microsecond counts that fit, but whose nanoseconds would not.
    EXPECT_EQ(beatOffsetNsec(1e13), INT64_MAX);
    EXPECT_EQ(beatOffsetNsec(-1e13), INT64_MIN);
}

TEST(TimeArithmetic, DueTimesSaturate) {
    EXPECT_EQ(addSaturating(100, INT64_MAX), INT64_MAX);
    EXPECT_EQ(addSaturating(-100, INT64_MIN), INT64_MIN);
    EXPECT_EQ(addSaturating(100, -50), 50);
}

TEST(Clock, ReadsTheMonotonicClockAndNeverGoesBack) {
    timespec before;
    clock_gettime(CLOCK_MONOTONIC, &before);
    const int64_t first = getTimeNsec();
    timespec after;
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(first, before.tv_sec * 1000000000LL + before.tv_nsec);
    EXPECT_LE(first, after.tv_sec * 1000000000LL + after.tv_nsec);
    int64_t previous = first;
    for (int i = 0; i < 100000; ++i) {
        const int64_t now = getTimeNsec();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

// --- The beat list ----------------------------------------------------------

TEST_F(Natives, CopiesTheListBitForBit) {
    const double payloadNan = [] {
        uint64_t bits = 0x7ff8dead0000beefULL;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }();
    std::vector<double> values = {-0.0, payloadNan, std::numeric_limits<double>::denorm_min(),
                                  -std::numeric_limits<double>::infinity(), 1e300, 0.25};
    setBeats(values);
    ASSERT_EQ(beatsLength, static_cast<int32_t>(values.size()));
    EXPECT_EQ(std::memcmp(beatsArray, values.data(), values.size() * sizeof(double)), 0);
}

TEST_F(Natives, ReplacingAListFreesTheOldOneAndEmptyListsAreHeld) {
    setBeats({0, 1, 2});
    setBeats({});
    EXPECT_EQ(beatsLength, 0);
    setBeats({0, 5});
    EXPECT_EQ(beatsLength, 2);
    EXPECT_EQ(beatsArray[1], 5.0);
    // The old blocks are freed: LeakSanitizer and valgrind see to the rest.
}

TEST_F(Natives, WritesTheTwoLinesFlushedAndNothingOnStop) {
    testing::internal::CaptureStdout();
    setBeats({0});
    start();
    ASSERT_TRUE(waitFinished());
    stop();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Set beat list native\nStart native tapping \n");
}

// --- Tapping ----------------------------------------------------------------

TEST_F(Natives, ListsOfFewerThanTwoBeatsAttachAndEndWithoutTapping) {
    for (auto list : {std::vector<double>{}, std::vector<double>{0.0}}) {
        setBeats(list);
        start();
        ASSERT_TRUE(waitFinished());
        EXPECT_EQ(vm.taps.load(), 0);
        stop();
    }
    start(); // no list at all
    ASSERT_TRUE(waitFinished());
    stop();
    EXPECT_EQ(vm.taps.load(), 0);
    EXPECT_EQ(vm.attaches.load(), 3);
}

TEST_F(Natives, TapsEachBeatAfterTheFirstAtItsDueTime) {
    setBeats({99.0, 0.05, 0.10, 0.15});
    const auto before = steady_clock::now();
    start();
    ASSERT_TRUE(vm.waitForTaps(3, 5s));
    ASSERT_TRUE(waitFinished());
    const auto times = vm.times();
    ASSERT_EQ(times.size(), 3u);
    for (size_t i = 0; i < times.size(); ++i) {
        const auto offset = duration_cast<microseconds>(times[i] - before);
        const auto due = microseconds(50000 * (i + 1));
        EXPECT_GE(offset, due) << "tap " << i << " early";
        EXPECT_LT(offset, due + 250ms) << "tap " << i << " late";
    }
}

TEST_F(Natives, OverdueAndUnsortedBeatsAreTappedAtOnceAndNoneIsSkipped) {
    setBeats({0, -1.0, 0.0, -5.0, -std::numeric_limits<double>::infinity(), std::nan(""), 0.0000005});
    const auto before = steady_clock::now();
    start();
    ASSERT_TRUE(vm.waitForTaps(6, 5s));
    EXPECT_LT(steady_clock::now() - before, 500ms);
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(vm.taps.load(), 6);
}

TEST_F(Natives, AStopMidSleepLeavesExactlyTheEarlierBeatsTappedAndReturnsPromptly) {
    for (double far : {5.0, 1e300, std::numeric_limits<double>::infinity()}) {
        vm.reset();
        setBeats({0, 0.01, 0.02, far, 0.03});
        start();
        ASSERT_TRUE(vm.waitForTaps(2, 5s));
        std::this_thread::sleep_for(20ms);
        const auto before = steady_clock::now();
        stop();
        EXPECT_LT(steady_clock::now() - before, 500ms) << far;
        EXPECT_EQ(vm.taps.load(), 2) << far;
        EXPECT_EQ(vm.attaches.load(), 1);
        EXPECT_EQ(vm.detaches.load(), 1) << "a stopped thread must detach";
        EXPECT_EQ(beatsArray, nullptr);
        EXPECT_EQ(vm.liveGlobalRefs.load(), 0);
    }
}

TEST_F(Natives, AStopDuringTapLetsItFinishAndNoFurtherTapFollows) {
    TapGate gate;
    setBeats({0, 0, 0, 0, 0}); // all overdue: no sleep between taps
    start();
    gate.waitInTap();
    std::thread stopper(stop);
    std::this_thread::sleep_for(50ms); // let the stop be requested while tap() runs
    gate.release();
    stopper.join();
    EXPECT_EQ(vm.taps.load(), 1);
    EXPECT_EQ(vm.detaches.load(), 1);
}

TEST_F(Natives, TheTapperThreadRunsRealTimeWhereAllowedButNeverUnderAnRtTimeLimit) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "real-time scheduling is granted to root here";
    }
    std::atomic<int> policy{-1};
    vm.onTap = [&] { policy = sched_getscheduler(0); };
    setBeats({0, 0});
    start();
    ASSERT_TRUE(vm.waitForTaps(1, 5000ms));
    EXPECT_EQ(policy.load(), SCHED_FIFO | SCHED_RESET_ON_FORK);
    EXPECT_EQ(vm.realTimeField.load(), 1) << "the Tapper learns what the thread got";
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the caller's thread is left alone";
    stop();

    // A real-time thread that runs past a finite RLIMIT_RTTIME gets SIGXCPU,
    // which ends a JVM: there the thread asks for nothing.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 50000;
    ASSERT_EQ(setrlimit(RLIMIT_RTTIME, &limited), 0);
    setBeats({0, 0});
    start();
    ASSERT_TRUE(vm.waitForTaps(2, 5000ms));
    setrlimit(RLIMIT_RTTIME, &saved);
    EXPECT_EQ(policy.load(), SCHED_OTHER);
    EXPECT_EQ(vm.realTimeField.load(), 0);
}

// A tap() that holds the CPU at real-time priority would starve the JVM's
// normal threads that it may wait for: the watchdog demotes it after a few
// milliseconds, and the thread is real-time again for its next sleep.
TEST_F(Natives, TheWatchdogDemotesALongTapAndTheNextBeatIsRealTimeAgain) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "real-time scheduling is granted to root here";
    }
    std::atomic<int> taps{0};
    std::atomic<int> atStart[2] = {{-1}, {-1}};
    std::atomic<int64_t> demotedAfterNsec{-1};
    vm.onTap = [&] {
        const int tap = taps++;
        atStart[tap] = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        if (tap > 0) {
            return;
        }
        const auto begin = steady_clock::now();
        while (steady_clock::now() - begin < 200ms) {
            if ((sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_OTHER) {
                demotedAfterNsec = duration_cast<nanoseconds>(steady_clock::now() - begin).count();
                break;
            }
        }
    };
    setBeats({0, 0, 0.25});
    start();
    ASSERT_TRUE(vm.waitForTaps(2, 5s));
    EXPECT_EQ(atStart[0].load(), SCHED_FIFO);
    EXPECT_GE(demotedAfterNsec.load(), 2000000) << "not before the limit";
    EXPECT_LT(demotedAfterNsec.load(), 100000000) << "not long after it";
    EXPECT_EQ(atStart[1].load(), SCHED_FIFO) << "real-time again after that tap()";
}

TEST_F(Natives, ExceptionsFromTapGoToTheUncaughtHandlerAndTappingGoesOn) {
    for (bool handlerThrows : {false, true}) {
        vm.reset();
        vm.tapThrows = true;
        vm.handlerThrows = handlerThrows;
        setBeats({0, 0, 0, 0});
        start();
        ASSERT_TRUE(waitFinished());
        EXPECT_EQ(vm.taps.load(), 3);
        EXPECT_EQ(vm.uncaughtHandled.load(), 3);
        EXPECT_EQ(vm.tapper.describes, handlerThrows ? 3 : 0) << "a throwing handler is reported";
        EXPECT_FALSE(vm.tapper.pending);
        stop();
    }
}

TEST_F(Natives, TheTapperThreadGetsTheStartersLoaderAndTheTapperItsStartTime) {
    setBeats({0, 0});
    const int64_t before = getTimeNsec();
    start();
    const int64_t after = getTimeNsec();
    EXPECT_EQ(vm.loadersAsked.load(), 1) << "the context loader of the thread that starts";
    EXPECT_EQ(vm.contextLoadersSet.load(), 1);
    EXPECT_GE(vm.startTimeNanos.load(), before) << "t0 is read in the new thread";
    EXPECT_LE(vm.startTimeNanos.load(), after) << "and known when start returns";
    stop();

    vm.reset();
    vm.noStartTimeField = true; // a Tapper class of the caller's own
    setBeats({0, 0, 0});
    start();
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(vm.taps.load(), 2);
    EXPECT_EQ(vm.startTimeNanos.load(), 0);
    EXPECT_EQ(vm.realTimeField.load(), -1);
    EXPECT_EQ(vm.tapper.describes + vm.caller.describes, 0) << "the missing fields are no error";
    EXPECT_FALSE(vm.caller.pending);
}

// A stop waits for tap() as long as it takes, and walks no stack, until the
// JVM shuts down. Then it leaves at once a tap() inside the JVM's exit, and
// any other after a bounded wait: it may be waiting for the exit itself.
TEST_F(Natives, AStopGivesUpOnATapOnlyOnceTheJvmShutsDown) {
    for (const bool insideExit : {true, false}) {
        vm.reset();
        TapGate gate;
        vm.tapInsideJvmExit = insideExit;
        setBeats({0, 0, 0});
        start();
        gate.waitInTap();
        std::thread stopper(stop);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(running, 1) << "outside shutdown the stop still waits";
        EXPECT_EQ(vm.exitChecks.load(), 0) << "no stack is walked outside shutdown";
        const auto shutdown = steady_clock::now();
        vm.shuttingDown = true;
        stopper.join();
        const auto took = steady_clock::now() - shutdown;
        if (insideExit) {
            EXPECT_LT(took, 500ms) << "a tap() inside the exit never returns";
        } else {
            EXPECT_GE(took, 900ms) << "a slow tap() gets about a second";
            EXPECT_LT(took, 3s);
        }
        EXPECT_GE(vm.exitChecks.load(), 1);
        EXPECT_EQ(running, 1) << "the thread is left running with all it uses";
        EXPECT_NE(beatsArray, nullptr);
        EXPECT_EQ(vm.liveGlobalRefs.load(), 1);

        // Here tap() returns after all (a real exit never does): the thread
        // leaves, and the next stop joins it.
        vm.tapInsideJvmExit = false;
        vm.shuttingDown = false;
        gate.release();
        stop();
        EXPECT_EQ(running, 0);
        EXPECT_EQ(vm.taps.load(), 1);
    }
}

TEST_F(Natives, AMissingTapMethodMakesStartThrowAndStartsNothing) {
    vm.noTapMethod = true;
    setBeats({0, 0, 0});
    start();
    EXPECT_EQ(caller.thrownClass, "java/lang/NoSuchMethodError");
    EXPECT_NE(caller.thrownMessage.find("void tap()"), std::string::npos);
    caller.pending = false;
    EXPECT_EQ(running, 0);
    EXPECT_EQ(vm.attaches.load(), 0);
    EXPECT_EQ(beatsLength, 3);
}

TEST_F(Natives, StartReturnsOnlyOnceTheThreadHasAttached) {
    setBeats({0, 10.0});
    for (int i = 0; i < 20; ++i) {
        start();
        EXPECT_EQ(vm.attaches.load(), i + 1);
        stop();
        setBeats({0, 10.0});
    }
}

TEST_F(Natives, AFailedAttachMakesStartThrowAndLeavesTheStateAsBefore) {
    vm.failAttach = true;
    setBeats({0, 0, 0});
    start();
    EXPECT_EQ(caller.thrownClass, "java/lang/IllegalStateException");
    EXPECT_NE(caller.thrownMessage.find("could not attach"), std::string::npos);
    caller.pending = false;
    EXPECT_EQ(running, 0);
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(vm.liveGlobalRefs.load(), 0);
    EXPECT_EQ(vm.startTimeNanos.load(), 0) << "no start is recorded";
    EXPECT_EQ(beatsLength, 3) << "the list stays for the next start";
    vm.failAttach = false;
    start();
    EXPECT_FALSE(caller.pending);
    ASSERT_TRUE(vm.waitForTaps(2, 5s));
}

// A signal that cuts the sleep short (a JVM's own, a terminal's SIGWINCH, a
// profiler's) sends the thread back to sleep until the same due time.
TEST_F(Natives, SignalsToTheTapperThreadNeitherEndNorHurryTheRhythm) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous;
    sigaction(SIGUSR2, &action, &previous); // no SA_RESTART: the sleep sees EINTR
    setBeats({0, 0.05, 0.10, 0.15, 0.20, 0.25});
    const auto before = steady_clock::now();
    start();
    for (auto deadline = before + 5s; steady_clock::now() < deadline && !vm.waitForTaps(5, 2ms);) {
        pthread_kill(tapper_thread, SIGUSR2);
    }
    ASSERT_TRUE(waitFinished());
    sigaction(SIGUSR2, &previous, nullptr);
    const auto times = vm.times();
    ASSERT_EQ(times.size(), 5u);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_GE(times[i] - before, milliseconds(50 * (i + 1))) << "tap " << i << " early";
    }
}

// Once a rhythm has ended by itself, the caller's objects may be collected
// before any further call: the thread lets go of the Tapper, and keeps only a
// weak reference to its own java.lang.Thread.
TEST_F(Natives, ARhythmThatEndsByItselfHoldsNothingOfTheCallers) {
    setBeats({0, 0, 0});
    start();
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(vm.liveGlobalRefs.load(), 0);
    EXPECT_EQ(vm.liveLoaderRefs.load(), 0);
    EXPECT_EQ(running, 1) << "not joined until the next call";
}

// --- Calls out of order and failures ------------------------------------------

TEST_F(Natives, StopWithoutAThreadOrTwiceOnlyResetsTheList) {
    stop();
    setBeats({0, 1});
    stop();
    stop();
    EXPECT_FALSE(caller.pending);
    EXPECT_EQ(vm.attaches.load(), 0);
}

TEST_F(Natives, StartAndSetWhileTappingThrowAndChangeNothing) {
    setBeats({0, 10.0, 20.0});
    start();
    double* const list = beatsArray;

    start();
    EXPECT_TRUE(caller.pending);
    EXPECT_EQ(caller.thrownClass, "java/lang/IllegalStateException");
    caller.pending = false;
    EXPECT_EQ(vm.attaches.load(), 1);

    setBeats({0, 1});
    EXPECT_TRUE(caller.pending);
    EXPECT_EQ(caller.thrownClass, "java/lang/IllegalStateException");
    EXPECT_NE(caller.thrownMessage.find("stopTapper()"), std::string::npos);
    caller.pending = false;
    EXPECT_EQ(beatsArray, list);
    EXPECT_EQ(beatsLength, 3);
    EXPECT_EQ(vm.liveGlobalRefs.load(), 1);
}

TEST_F(Natives, AFinishedThreadIsJoinedByTheNextSetOrStart) {
    setBeats({0, 0});
    start();
    ASSERT_TRUE(waitFinished());
    start(); // replays the same list
    EXPECT_FALSE(caller.pending);
    ASSERT_TRUE(vm.waitForTaps(2, 5s));
    ASSERT_TRUE(waitFinished());
    setBeats({0, 0, 0});
    EXPECT_FALSE(caller.pending);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(vm.liveGlobalRefs.load(), 0);
    EXPECT_EQ(beatsLength, 3);
}

// The last tap() may wake a sequencer that sets and starts the next phrase:
// those calls wait for the thread to end, instead of finding it still tapping.
TEST_F(Natives, ASetOrStartDuringTheLastTapWaitsForItsEnd) {
    for (const bool viaStart : {true, false}) {
        vm.reset();
        TapGate gate;
        setBeats({0, 0}); // one overdue tap, then the thread ends
        start();
        gate.waitInTap();
        std::atomic<bool> returned{false};
        fake::Env env;
        env.functions = &vm.envTable;
        std::thread sequencer([&] {
            if (viaStart) {
                Java_drovak_android_Tapper_startTapper(&env, fake::tapperObject());
            } else {
                fake::Array next{{0, 0, 0}};
                Java_drovak_android_Tapper_setBeatList(&env, fake::tapperObject(), fake::newArray(next));
            }
            returned = true;
        });
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(returned) << "it waits for the last tap() to return";
        gate.release();
        sequencer.join();
        EXPECT_FALSE(env.pending) << (viaStart ? "start" : "set") << ": " << env.thrownMessage;
        if (viaStart) {
            EXPECT_TRUE(vm.waitForTaps(2, 5s)) << "the list is played again";
        } else {
            EXPECT_EQ(beatsLength, 3);
        }
        stop();
    }
}

TEST_F(Natives, NullListThrowsAndLeavesTheStateAlone) {
    setBeats({0, 1});
    Java_drovak_android_Tapper_setBeatList(vm.env(), fake::tapperObject(), nullptr);
    EXPECT_EQ(caller.thrownClass, "java/lang/NullPointerException");
    caller.pending = false;
    EXPECT_EQ(beatsLength, 2);
}

TEST_F(Natives, FailedAllocationThrowsAndLeavesTheStateEmpty) {
    setBeats({0, 1});
    failNextMalloc = true;
    setBeats({0, 1, 2});
    EXPECT_EQ(caller.thrownClass, "java/lang/OutOfMemoryError");
    caller.pending = false;
    EXPECT_EQ(beatsLength, 0);
    EXPECT_EQ(beatsArray, nullptr);
}

TEST_F(Natives, FailedThreadCreationThrowsAndReleasesEverything) {
    setBeats({0, 1});
    failNextThreadCreate = true;
    start();
    EXPECT_EQ(caller.thrownClass, "java/lang/OutOfMemoryError");
    EXPECT_EQ(caller.thrownMessage, "unable to create tapper thread");
    caller.pending = false;
    EXPECT_EQ(running, 0);
    EXPECT_EQ(vm.liveGlobalRefs.load(), 0);
    start(); // and a later start works
    EXPECT_FALSE(caller.pending);
    EXPECT_EQ(vm.attaches.load(), 1);
}

TEST_F(Natives, FailedGlobalReferenceThrowsAndStartsNothing) {
    vm.failGlobalRef = true;
    start();
    EXPECT_EQ(caller.thrownClass, "java/lang/OutOfMemoryError");
    caller.pending = false;
    EXPECT_EQ(running, 0);
    EXPECT_EQ(vm.attaches.load(), 0);
}

TEST_F(Natives, NativesCalledFromTapThrowInsteadOfWaitingForThemselves) {
    std::vector<std::string> thrown;
    vm.onTap = [&] {
        fake::Env& env = vm.tapper;
        Java_drovak_android_Tapper_stopTapper(&env, fake::tapperObject());
        thrown.push_back(env.thrownClass);
        Java_drovak_android_Tapper_startTapper(&env, fake::tapperObject());
        thrown.push_back(env.thrownClass);
        Java_drovak_android_Tapper_setBeatList(&env, fake::tapperObject(), nullptr);
        thrown.push_back(env.thrownClass);
        env.pending = false;
    };
    setBeats({0, 0});
    start();
    ASSERT_TRUE(waitFinished());
    ASSERT_EQ(thrown.size(), 3u);
    for (const auto& c : thrown) {
        EXPECT_EQ(c, "java/lang/IllegalStateException");
    }
}

TEST_F(Natives, CallsFromSeveralThreadsKeepTheStateWhole) {
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([t] {
            fake::Env env;
            env.functions = &vm.envTable;
            fake::Array array{{0, 0, 0.001, 0.002}};
            for (int i = 0; i < 200; ++i) {
                switch ((i + t) % 3) {
                case 0:
                    Java_drovak_android_Tapper_setBeatList(&env, fake::tapperObject(), fake::newArray(array));
                    break;
                case 1:
                    Java_drovak_android_Tapper_startTapper(&env, fake::tapperObject());
                    break;
                default:
                    Java_drovak_android_Tapper_stopTapper(&env, fake::tapperObject());
                }
                if (env.pending) {
                    EXPECT_EQ(env.thrownClass, "java/lang/IllegalStateException");
                    env.pending = false;
                }
            }
        });
    }
    for (auto& c : callers) {
        c.join();
    }
}

// --- Scheduling faults ----------------------------------------------------------

// Under an rtprio limit no thread has CAP_SYS_NICE, and the kernel refuses an
// unprivileged change that clears SCHED_RESET_ON_FORK: the watchdog's demotion
// must keep the flag to take effect.
TEST_F(Natives, WithoutCapSysNiceTheWatchdogStillDemotesALongTap) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "real-time scheduling is granted to root here";
    }
    std::atomic<int64_t> demotedAfterNsec{-1};
    vm.onTap = [&] {
        const auto begin = steady_clock::now();
        while (steady_clock::now() - begin < 200ms) {
            if ((sched_getscheduler(0) & ~SCHED_RESET_ON_FORK) == SCHED_OTHER) {
                demotedAfterNsec = duration_cast<nanoseconds>(steady_clock::now() - begin).count();
                break;
            }
        }
    };
    dropSysNiceOnceFifo = true;
    setBeats({0, 0});
    start();
    ASSERT_TRUE(waitFinished());
    dropSysNiceOnceFifo = false;
    EXPECT_EQ(vm.realTimeField.load(), 1);
    EXPECT_GE(demotedAfterNsec.load(), 2000000) << "demoted, and not before the limit";
    EXPECT_LT(demotedAfterNsec.load(), 100000000);
}

// A Java thread at SCHED_FIFO (an audio thread, a JVM under chrt) that starts
// a rhythm where real-time is refused: the tapper thread runs normal anyway.
TEST_F(Natives, TheTapperThreadStartsNormalWhateverItsStarterRunsAndIsNamed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the test's thread at SCHED_FIFO";
    }
    std::atomic<int> policy{-1};
    char name[16] = {};
    vm.onTap = [&] {
        policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        prctl(PR_GET_NAME, name, 0, 0, 0);
    };
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_RTTIME, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 500000; // no real-time is asked for under an rttime limit
    ASSERT_EQ(setrlimit(RLIMIT_RTTIME, &limited), 0);
    struct sched_param fifo {};
    fifo.sched_priority = 5;
    ASSERT_EQ(sched_setscheduler(0, SCHED_FIFO, &fifo), 0);
    setBeats({0, 0});
    start();
    struct sched_param normal {};
    sched_setscheduler(0, SCHED_OTHER, &normal);
    ASSERT_TRUE(vm.waitForTaps(1, 5s));
    setrlimit(RLIMIT_RTTIME, &saved);
    EXPECT_EQ(policy.load(), SCHED_OTHER);
    EXPECT_EQ(vm.realTimeField.load(), 0);
    EXPECT_STREQ(name, "tembrix-tap");
}

// --- Unloading ---------------------------------------------------------------

// A class loader that played a rhythm, and was collected: the library joins
// the thread and frees everything before its code goes.
TEST_F(Natives, UnloadingJoinsARhythmThatEndedByItselfAndFreesWhatItLeft) {
    setBeats({0, 0, 0});
    start();
    ASSERT_TRUE(waitFinished());
    EXPECT_FALSE(append({5.0})) << "no rhythm plays: the beat extends the list";
    EXPECT_NE(pendingFirst, nullptr);
    JNI_OnUnload(&vm.vm, nullptr);
    EXPECT_EQ(running, 0);
    EXPECT_EQ(beatsArray, nullptr);
    EXPECT_EQ(pendingFirst, nullptr);
    EXPECT_EQ(vm.liveThreadRefs.load(), 0);
    EXPECT_EQ(vm.detaches.load(), 1);
}

// --- Appended beats -------------------------------------------------------------

TEST_F(Natives, BeatsAppendedFromTapExtendTheRhythmAndAreReleasedOnceTapped) {
    constexpr int kAppends = 2000;
    std::atomic<int> mostLive{0};
    std::atomic<int> refused{0};
    vm.onTap = [&] {
        if (vm.taps.load() < kAppends && !append({0}, vm.tapperEnv())) {
            ++refused;
        }
        mostLive = std::max(mostLive.load(), liveChunks());
    };
    setBeats({0, 0});
    start();
    ASSERT_TRUE(vm.waitForTaps(kAppends + 1, 10s));
    ASSERT_TRUE(waitFinished()) << "the last beat's tap() appends nothing: the rhythm ends";
    EXPECT_EQ(vm.taps.load(), kAppends + 1);
    EXPECT_EQ(refused.load(), 0);
    EXPECT_LE(mostLive.load(), 2) << "tapped beats are released as new ones come";

    // A replay plays the list that rhythm started with, not what it was given.
    vm.onTap = nullptr;
    start();
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(vm.tapsSinceAttach.load(), 1);
}

TEST_F(Natives, BeatsAppendedFromAnotherThreadAreTappedAtTheirTimes) {
    setBeats({0, 0.05});
    const int64_t before = getTimeNsec();
    start();
    const int64_t t0 = vm.startTimeNanos.load();
    EXPECT_TRUE(append({0.10, 0.15}));
    ASSERT_TRUE(vm.waitForTaps(3, 5s));
    ASSERT_TRUE(waitFinished());
    const auto times = vm.times();
    ASSERT_EQ(times.size(), 3u);
    for (size_t i = 0; i < times.size(); ++i) {
        const int64_t at = duration_cast<nanoseconds>(times[i].time_since_epoch()).count() - t0;
        EXPECT_GE(at, static_cast<int64_t>(50000000 * (i + 1))) << "tap " << i << " early";
        EXPECT_LT(at, static_cast<int64_t>(50000000 * (i + 1)) + 250000000) << "tap " << i << " late";
    }
    EXPECT_GE(t0, before);
}

TEST_F(Natives, WithoutARhythmAppendedBeatsExtendTheListOrBecomeItAndDuringAStopTheyAreDropped) {
    setBeats({0, 0});
    EXPECT_FALSE(append({0, 0}));
    start();
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(vm.tapsSinceAttach.load(), 3) << "element 0 of the list is never tapped; every appended one is";
    stop();
    EXPECT_FALSE(append({0}));
    start();
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(vm.tapsSinceAttach.load(), 1) << "after a stop the appended beats are the list";
    stop();

    TapGate gate;
    setBeats({0, 0, 0});
    start();
    gate.waitInTap();
    ASSERT_NE(ownStop(0, 10 * kNsecPerSec), nullptr) << "the stop is under way: tap() runs, and is not waited for";
    EXPECT_FALSE(append({0})) << "dropped";
    gate.release();
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(ownStop(), nullptr);
    EXPECT_EQ(vm.taps.load(), 5);
    EXPECT_EQ(pendingFirst, nullptr);
}

// An append that comes as the last beat is tapped either extends the rhythm,
// which then taps it, or the list: none is lost, and true means tapped.
TEST_F(Natives, AnAppendRacingTheEndOfARhythmIsNeverLost) {
    for (int i = 0; i < 200; ++i) {
        vm.reset();
        setBeats({0, 0});
        start();
        std::this_thread::sleep_for(microseconds(i % 50));
        const bool extended = append({0});
        ASSERT_TRUE(waitFinished());
        if (extended) {
            EXPECT_EQ(vm.tapsSinceAttach.load(), 2) << i;
        } else {
            EXPECT_EQ(vm.tapsSinceAttach.load(), 1) << i;
            EXPECT_NE(pendingFirst, nullptr) << i;
        }
        stop();
    }
}

// --- The library's own Tapper ------------------------------------------------

// Its natives never wait for tap(): they say when to wait, and the tapper
// thread tells Java when to look again.
TEST_F(Natives, TheOwnTappersCallsLeaveTheWaitToJavaAndHearOfEveryEnd) {
    TapGate gate;
    setBeats({0, 0});
    const jlong serial = ownStart();
    EXPECT_GT(serial, 0);
    gate.waitInTap();
    EXPECT_EQ(ownSet({0, 1}), kWaitForEvent) << "the last tap() runs";
    fake::Env other;
    other.functions = &vm.envTable;
    EXPECT_TRUE(append({0}, &other)) << "during the last tap(), the rhythm goes on";
    gate.release();
    ASSERT_TRUE(vm.waitForTaps(2, 5s));
    ASSERT_TRUE(waitFinished());
    EXPECT_EQ(vm.events.load(), 2) << "it went on, then it left";
    EXPECT_EQ(ownSet({0, 10}), kDone);

    const jlong next = ownStart();
    EXPECT_EQ(ownStop(next + 1), nullptr) << "another rhythm's close() leaves this one alone";
    EXPECT_EQ(running, 1);
    EXPECT_NE(beatsArray, nullptr);
    const jobject waitFor = ownStop(next, kStopBriefWaitNsec); // done at once, unless the thread is slow to wake
    if (waitFor != nullptr) {
        ASSERT_TRUE(waitFinished());
        EXPECT_EQ(ownStop(next), nullptr);
    }
    EXPECT_EQ(running, 0);
    EXPECT_EQ(beatsArray, nullptr) << "a completed stop frees the list";
    EXPECT_EQ(vm.events.load(), 3);
}

// --- Precise mode ---------------------------------------------------------------

TEST(PreciseMargin, WidensAfterALateWakeUpAndNarrowsSlowlyWithinItsBounds) {
    const int64_t due = 1000000000;
    const int64_t widened = adaptMargin(kPreciseMarginInitialNsec, due + 30000, due);
    EXPECT_EQ(widened, kPreciseMarginInitialNsec + 30000 + kPreciseWidenStepNsec);
    EXPECT_EQ(adaptMargin(widened, due - 10000, due), widened - widened / kPreciseNarrowDivisor);
    EXPECT_EQ(adaptMargin(kPreciseMarginCapNsec, due + 5000000, due), kPreciseMarginCapNsec);
    EXPECT_EQ(adaptMargin(kPreciseMarginInitialNsec, due + 5000000, due),
              kPreciseMarginInitialNsec + kPreciseWidenMaxMissNsec + kPreciseWidenStepNsec)
        << "one stall widens it by a bounded step";
    int64_t margin = kPreciseMarginCapNsec;
    int beats = 0;
    for (; margin > kPreciseMarginFloorNsec; ++beats) {
        margin = adaptMargin(margin, due - 1, due);
    }
    EXPECT_EQ(margin, kPreciseMarginFloorNsec);
    EXPECT_GT(beats, 200) << "it narrows slowly";
    EXPECT_LT(beats, 1000);
}

TEST_F(Natives, PreciseTapsAreNeverEarly) {
    std::vector<int64_t> tapNsec;
    vm.onTap = [&] { tapNsec.push_back(getTimeNsec()); };
    std::vector<double> beats{0};
    for (int i = 1; i <= 20; ++i) {
        beats.push_back(0.005 * i);
    }
    setBeats(beats);
    ASSERT_GT(ownStart(true), 0);
    ASSERT_TRUE(vm.waitForTaps(20, 5s));
    ASSERT_TRUE(waitFinished());
    const int64_t t0 = vm.startTimeNanos.load();
    ASSERT_EQ(tapNsec.size(), 20u);
    for (size_t i = 0; i < tapNsec.size(); ++i) {
        EXPECT_GE(tapNsec[i] - t0, beatOffsetNsec(beats[i + 1])) << "tap " << i << " early";
    }
}

TEST_F(Natives, AStopDuringThePreciseSpinIsPrompt) {
    std::thread stopper([] {
        std::this_thread::sleep_for(70ms);
        requestStop();
    });
    int64_t margin = 80 * kNsecPerMsec; // more than the cap allows: a long spin to catch
    const int64_t due = getTimeNsec() + 100 * kNsecPerMsec;
    const bool tapped = sleepBeforeSpin(due, &margin) && spinUntil(due);
    const int64_t left = due - getTimeNsec();
    stopper.join();
    stopRequested.store(false);
    EXPECT_FALSE(tapped);
    EXPECT_GT(left, 0) << "it left before the beat";
}

} // namespace
