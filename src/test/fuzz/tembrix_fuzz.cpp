// Fuzzes the natives and the tapper thread through the fake JNI environment.
//
// The input bytes are a program: its first byte picks how the fake JVM
// behaves for the whole input (tap() throws, and so may its uncaught-exception
// handler; tap() is missing, attaching fails, tap() is slow, tap() calls the
// natives), and the rest is a sequence
// of operations: set a beat list (NaN, infinities, huge, negative, subnormal,
// overdue, due within a few milliseconds, or far in the future; empty, short
// or thousands long), start, stop, short waits that catch the tapper thread
// in its sleep, inside tap(), after the list has ended or in a run of overdue
// beats, and calls from a second Java thread racing the first.
//
// After every operation the state must be what the natives promise, and after
// each input's final stop the state must be empty, every attach detached and
// every global reference deleted. A broken promise aborts, which libFuzzer
// reports as a crash. Waits are capped, so that each input runs in
// milliseconds: a beat far in the future costs nothing, since stop wakes the
// sleep.
//
// Built two ways: with -fsanitize=fuzzer as the libFuzzer target tembrix_fuzz,
// and without it as tembrix_fuzz_replay, whose main() runs the inputs in the
// files and directories it is given (the seed corpus and the regressions).

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "../fake_jni.h"

#include "../../tembrix.cpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEMBRIX_FUZZ_LSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TEMBRIX_FUZZ_LSAN 1
#endif
#if defined(TEMBRIX_FUZZ_LSAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using namespace std::chrono;

constexpr int kMaxOps = 96;
// Upper bound on the time one input may spend waiting on purpose.
constexpr int64_t kWaitBudgetNsec = 25 * 1000 * 1000;
constexpr int64_t kWaitForEndNsec = 10 * 1000 * 1000;
constexpr int64_t kWaitForTapsNsec = 5 * 1000 * 1000;
constexpr int64_t kShortWaitStepNsec = 4 * 1000;   // times a byte: up to about 1 ms
constexpr int64_t kSlowTapStepNsec = 1000;         // times a byte: up to 255 us
constexpr int64_t kRacerDelayStepNsec = 2 * 1000;  // times a byte: up to about 0.5 ms
constexpr double kBeatStepSec = 10e-6;             // times a byte: due within 2.55 ms
constexpr int kLongListMin = 1000;
constexpr int kLongListSpan = 4000;

fake::Jvm& vm = fake::jvm();

[[noreturn]] void fail(const char* what, int line) {
    fprintf(stderr, "tembrix_fuzz: broken invariant at line %d: %s\n", line, what);
    fflush(stderr);
    abort();
}
#define CHECK(condition)                 \
    do {                                 \
        if (!(condition)) {              \
            fail(#condition, __LINE__);  \
        }                                \
    } while (0)

// Reads the input a byte at a time; past its end every byte is 0.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
    double rawDouble() {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) {
            bits |= static_cast<uint64_t>(byte()) << (8 * i);
        }
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
};

// Bytes for the long lists, which would need too much input to spell out.
struct Xorshift {
    uint32_t state;
    uint8_t byte() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<uint8_t>(state >> 7);
    }
};

template <typename Source>
double beatValue(Source& source, Reader& input) {
    switch (source.byte() % 16) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -std::numeric_limits<double>::infinity();
    case 3: return 1e300;
    case 4: return -1e300;
    case 5: return std::numeric_limits<double>::max();
    case 6: return std::numeric_limits<double>::denorm_min();
    case 7: return -0.0;
    case 8: return 0.0;
    case 9: return -static_cast<double>(source.byte());             // overdue
    case 10: return kBeatStepSec * source.byte();                   // due soon
    case 11: return 9223372036.854775 + source.byte() * 1e-3;       // where nanoseconds overflow
    case 12: return 1e6;                                            // far in the future
    case 13: return 4e-7;                                           // below a microsecond
    case 14: return std::ldexp(1.0, -1060 + source.byte() % 40);    // subnormal
    default: return input.rawDouble();                              // anything at all
    }
}

struct Flags {
    bool tapThrows;
    bool noTapMethod;
    bool failAttach;
    bool slowTap;
    bool nativesFromTap;
};

// The natives' state, read under their lock: a racing caller may be changing it.
struct State {
    int32_t running;
    int32_t length;
    const double* list;
    jobject ref;
    int appended; // beats appended to the list, which a start taps after it
};

State state() {
    pthread_mutex_lock(&nativesLock);
    State now{running, beatsLength, beatsArray, obj, 0};
    pthread_mutex_lock(&listLock);
    for (BeatChunk* chunk = pendingFirst; chunk != nullptr; chunk = chunk->next) {
        now.appended += chunk->count;
    }
    pthread_mutex_unlock(&listLock);
    pthread_mutex_unlock(&nativesLock);
    return now;
}

// Whether the tapper thread has sent its end signal.
bool threadEnded() {
    pthread_mutex_lock(&newsLock);
    const bool ended = tapperEnded;
    pthread_mutex_unlock(&newsLock);
    return ended;
}

// The run, by the number of its attach, whose first tap() appended a beat to it.
std::atomic<int> appendedInRun{0};

// Beats that the run with this attach number appended from its tap().
int appendedBy(int run) { return appendedInRun.load() == run ? 1 : 0; }

// What the current run of the tapper thread should do if left alone.
struct Run {
    bool known = false; // false once another thread may have changed the state
    int expectedTaps = 0;
    int attach = 0;     // the number of the run's attach
};

class Program {
public:
    Program(const uint8_t* data, size_t size) : in{data, size} {}

    void run() {
        vm.reset();
        appendedInRun.store(0);
        caller.functions = &vm.envTable;
        readFlags();
        for (int op = 0; op < kMaxOps && !in.done(); ++op) {
            step();
        }
        joinRacer();
        stopAndCheck();
        CHECK(!caller.pending);
        vm.onTap = nullptr;
    }

private:
    Reader in;
    fake::Env caller;
    Flags flags{};
    Run current;
    int64_t waitedNsec = 0;
    std::unique_ptr<std::thread> racer;
    fake::Array list;

    void readFlags() {
        const uint8_t b = in.byte();
        flags.tapThrows = b & 0x01;
        flags.noTapMethod = (b & 0x06) == 0x06;
        flags.failAttach = (b & 0x18) == 0x18;
        flags.slowTap = b & 0x20;
        flags.nativesFromTap = (b & 0xc0) == 0xc0;
        vm.tapThrows = flags.tapThrows;
        vm.handlerThrows = flags.tapThrows && (b & 0x04); // the uncaught-exception handler throws too
        vm.noTapMethod = flags.noTapMethod;
        vm.failAttach = flags.failAttach;
        const int64_t slowNsec = flags.slowTap ? kSlowTapStepNsec * in.byte() : 0;
        const bool fromTap = flags.nativesFromTap;
        if (slowNsec > 0 || fromTap) {
            vm.onTap = [slowNsec, fromTap] {
                if (slowNsec > 0) {
                    std::this_thread::sleep_for(nanoseconds(slowNsec));
                }
                if (fromTap) {
                    // Every native refuses to run on the tapper thread.
                    fake::Env& env = vm.tapper;
                    fake::Array empty;
                    Java_drovak_android_Tapper_stopTapper(&env, fake::tapperObject());
                    CHECK(env.pending && env.thrownClass == "java/lang/IllegalStateException");
                    env.pending = false;
                    Java_drovak_android_Tapper_startTapper(&env, fake::tapperObject());
                    CHECK(env.pending && env.thrownClass == "java/lang/IllegalStateException");
                    env.pending = false;
                    Java_drovak_android_Tapper_setBeatList(&env, fake::tapperObject(), fake::newArray(empty));
                    CHECK(env.pending && env.thrownClass == "java/lang/IllegalStateException");
                    env.pending = false;
                    // Appending is allowed there, and the rhythm goes on with what it adds:
                    // one more beat, at its first tap.
                    if (vm.tapsSinceAttach.load() == 0) {
                        fake::Array one{{0.0}};
                        if (Java_drovak_android_Tapper_appendBeats(&env, fake::tapperObject(),
                                                                   fake::newArray(one)) == JNI_TRUE) {
                            appendedInRun.store(vm.attaches.load());
                        }
                        CHECK(!env.pending);
                    }
                }
            };
        }
    }

    // Without tap(), or when the thread cannot attach, start throws and starts nothing.
    bool startsAtAll() const { return !flags.noTapMethod && !flags.failAttach; }

    void wait(int64_t nsec) {
        nsec = std::min(nsec, kWaitBudgetNsec - waitedNsec);
        if (nsec <= 0) {
            return;
        }
        waitedNsec += nsec;
        std::this_thread::sleep_for(nanoseconds(nsec));
    }

    // Waits, within the budget, until pred() holds; returns whether it did.
    template <typename Pred>
    bool waitUntil(int64_t limitNsec, Pred pred) {
        const auto begin = steady_clock::now();
        const auto deadline = begin + nanoseconds(std::min(limitNsec, std::max<int64_t>(kWaitBudgetNsec - waitedNsec, 0)));
        bool held = pred();
        while (!held && steady_clock::now() < deadline) {
            std::this_thread::sleep_for(microseconds(50));
            held = pred();
        }
        waitedNsec += duration_cast<nanoseconds>(steady_clock::now() - begin).count();
        return held;
    }

    void step() {
        switch (in.byte() % 13) {
        case 0:
        case 1: setList(); break;
        case 2:
        case 3: start(); break;
        case 4:
        case 5: stopAndCheck(); break;
        case 6: wait(kShortWaitStepNsec * in.byte()); break;
        case 7: waitForEnd(); break;
        case 8: waitForTaps(); break;
        case 9: race(); break;
        case 10: setNull(); break;
        case 11: append(); break;
        default: stopAsTheOwnTapperDoes(); break;
        }
    }

    // Beats appended now extend the rhythm that plays, or the list.
    void append() {
        fake::Array beats;
        beats.values.resize(in.byte() % 4);
        for (double& value : beats.values) {
            value = beatValue(in, in);
        }
        const bool tapped = Java_drovak_android_Tapper_appendBeats(&caller, fake::tapperObject(),
                                                                    fake::newArray(beats)) == JNI_TRUE;
        CHECK(!caller.pending);
        CHECK(racer || !tapped || state().running == 1);
        current.known = false;
    }

    // The library's own Tapper's stop: ask, wait in "Java" for the thread, ask again.
    void stopAsTheOwnTapperDoes() {
        bool done = false;
        for (int round = 0; round < 4 && !done; ++round) {
            // The first ask does not wait; the others wait briefly for a thread outside tap().
            const jlong briefNsec = round == 0 ? 0 : kStopBriefWaitNsec;
            done = Java_drovak_android_Tapper_nativeStopTapper(&caller, nullptr, 0, briefNsec) == nullptr;
            CHECK(!caller.pending);
            if (!done) {
                waitUntil(kWaitForEndNsec, [] { return threadEnded(); });
            }
        }
        if (done && !racer) {
            const State after = state();
            CHECK(after.running == 0 && after.list == nullptr && after.ref == nullptr);
        }
        current.known = false;
    }

    void setList() {
        const uint8_t selector = in.byte();
        size_t length;
        if (selector < 200) {
            length = selector % 12;
        } else if (selector < 240) {
            length = 16 + in.byte();
        } else {
            length = kLongListMin + in.word() % kLongListSpan;
        }
        list.values.resize(length);
        if (length > 300) {
            Xorshift generated{0x9e3779b9u ^ in.byte()};
            for (double& value : list.values) {
                value = beatValue(generated, in);
            }
        } else {
            for (double& value : list.values) {
                value = beatValue(in, in);
            }
        }
        Java_drovak_android_Tapper_setBeatList(&caller, fake::tapperObject(), fake::newArray(list));
        if (racer) {
            acceptOnlyIllegalState(caller);
            return;
        }
        const State after = state();
        if (caller.pending) {
            // Refused only while a run is still tapping, and then nothing changed.
            CHECK(caller.thrownClass == "java/lang/IllegalStateException");
            CHECK(after.running == 1);
            caller.pending = false;
            return;
        }
        CHECK(after.running == 0);
        CHECK(after.length == static_cast<int32_t>(length));
        CHECK(length == 0 || std::memcmp(after.list, list.values.data(), length * sizeof(double)) == 0);
    }

    void setNull() {
        const int32_t lengthBefore = state().length;
        Java_drovak_android_Tapper_setBeatList(&caller, fake::tapperObject(), nullptr);
        CHECK(caller.pending && caller.thrownClass == "java/lang/NullPointerException");
        caller.pending = false;
        CHECK(racer || state().length == lengthBefore);
    }

    void start() {
        const int attachesBefore = vm.attaches.load();
        const State before = state();
        Java_drovak_android_Tapper_startTapper(&caller, fake::tapperObject());
        if (racer) {
            acceptRefusal(caller, startFailure());
            current.known = false;
            return;
        }
        const State after = state();
        if (caller.pending && after.running == 1) {
            // Refused: a rhythm still taps, and nothing changed.
            CHECK(caller.thrownClass == "java/lang/IllegalStateException");
            CHECK(after.list == before.list && after.length == before.length);
            caller.pending = false;
            return;
        }
        if (!startsAtAll()) {
            CHECK(caller.pending);
            CHECK(caller.thrownClass == startFailure());
            CHECK(after.running == 0 && after.ref == nullptr);
            CHECK(after.list == before.list && after.length == before.length);
            CHECK(vm.liveGlobalRefs.load() == 0);
            caller.pending = false;
            return;
        }
        CHECK(!caller.pending);
        CHECK(after.running == 1);
        CHECK(vm.attaches.load() == attachesBefore + 1);
        CHECK(vm.liveGlobalRefs.load() <= 1); // a rhythm that ended at once has let go of it
        current.known = true;
        current.attach = attachesBefore + 1;
        current.expectedTaps = (before.length >= 2 ? before.length - 1 : 0) + before.appended;
    }

    void stopAndCheck() {
        Java_drovak_android_Tapper_stopTapper(&caller, fake::tapperObject());
        if (racer) {
            CHECK(!caller.pending);
            current.known = false;
            return;
        }
        CHECK(!caller.pending);
        const State after = state();
        CHECK(after.running == 0);
        CHECK(after.length == 0);
        CHECK(after.list == nullptr);
        CHECK(after.ref == nullptr);
        CHECK(pendingFirst == nullptr && liveFirst == nullptr);
        CHECK(vm.liveGlobalRefs.load() == 0);
        CHECK(vm.liveThreadRefs.load() == 0);
        CHECK(vm.liveLoaderRefs.load() == 0);
        CHECK(vm.attaches.load() == vm.detaches.load());
        CHECK(tapperEnv.load() == nullptr);
        CHECK(vm.tapsOnWrongEnv.load() == 0);
        if (current.known) {
            // A stop may cut a run short, never make it tap more.
            CHECK(vm.tapsSinceAttach.load() <= current.expectedTaps + appendedBy(current.attach));
            current.known = false;
        }
    }

    void waitForEnd() {
        const bool ended = waitUntil(kWaitForEndNsec, [] { return state().running == 0 || threadEnded(); });
        if (ended && !racer && current.known && state().running == 1) {
            // A run that ended by itself tapped every beat after the first,
            // and let go of the Tapper.
            CHECK(vm.tapsSinceAttach.load() == current.expectedTaps + appendedBy(current.attach));
            CHECK(vm.attaches.load() == vm.detaches.load());
            CHECK(vm.liveGlobalRefs.load() == 0);
        }
    }

    void waitForTaps() {
        const int target = vm.taps.load() + 1 + in.byte() % 8;
        waitUntil(kWaitForTapsNsec, [target] { return vm.taps.load() >= target; });
    }

    // A second Java thread makes one call after a short delay, racing the
    // calls that follow on this one.
    void race() {
        joinRacer();
        const uint8_t call = in.byte() % 4;
        const int64_t delayNsec = kRacerDelayStepNsec * in.byte();
        current.known = false;
        const char* const failure = startFailure();
        racer = std::make_unique<std::thread>([call, delayNsec, failure] {
            fake::Env env;
            env.functions = &vm.envTable;
            fake::Array racing{{0.0, 0.0, 1e-4, 1e-3}};
            std::this_thread::sleep_for(nanoseconds(delayNsec));
            switch (call) {
            case 0: Java_drovak_android_Tapper_stopTapper(&env, fake::tapperObject()); break;
            case 1: Java_drovak_android_Tapper_startTapper(&env, fake::tapperObject()); break;
            case 3:
                Java_drovak_android_Tapper_appendBeats(&env, fake::tapperObject(), fake::newArray(racing));
                break;
            default:
                Java_drovak_android_Tapper_setBeatList(&env, fake::tapperObject(), fake::newArray(racing));
            }
            acceptRefusal(env, call == 1 ? failure : nullptr);
        });
    }

    void joinRacer() {
        if (racer) {
            racer->join();
            racer.reset();
        }
    }

    static void acceptOnlyIllegalState(fake::Env& env) { acceptRefusal(env, nullptr); }

    // A call that threw threw IllegalStateException, or, from a start, what
    // the fake JVM's flags make every start throw.
    static void acceptRefusal(fake::Env& env, const char* startFailure) {
        if (env.pending) {
            CHECK(env.thrownClass == "java/lang/IllegalStateException" ||
                  (startFailure != nullptr && env.thrownClass == startFailure));
            env.pending = false;
        }
    }

    const char* startFailure() const {
        return flags.noTapMethod ? "java/lang/NoSuchMethodError"
               : flags.failAttach ? "java/lang/IllegalStateException"
                                  : nullptr;
    }
};

// The fake's FindClass and ThrowNew share a table of class names meant for one
// thread at a time; here the tapper thread and a racing caller may throw while
// this one does.
std::mutex exceptionTableLock;
jclass(JNICALL* fakeFindClass)(JNIEnv*, const char*);
jint(JNICALL* fakeThrowNew)(JNIEnv*, jclass, const char*);

jclass JNICALL findClassLocked(JNIEnv* env, const char* name) {
    std::lock_guard<std::mutex> hold(exceptionTableLock);
    return fakeFindClass(env, name);
}

jint JNICALL throwNewLocked(JNIEnv* env, jclass clazz, const char* message) {
    std::lock_guard<std::mutex> hold(exceptionTableLock);
    return fakeThrowNew(env, clazz, message);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fakeFindClass = vm.envTable.FindClass;
    fakeThrowNew = vm.envTable.ThrowNew;
    vm.envTable.FindClass = findClassLocked;
    vm.envTable.ThrowNew = throwNewLocked;
    // The natives print a line per call; the fuzzer's own output is on stderr.
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        perror("tembrix_fuzz: /dev/null");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Program(data, size).run();
    return 0;
}

#if defined(TEMBRIX_FUZZ_REPLAY)

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Each input runs this many times: its races may go either way.
constexpr int kReplayRounds = 3;

void collect(const std::string& path, std::vector<std::string>& files) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        fprintf(stderr, "tembrix_fuzz_replay: cannot read %s\n", path.c_str());
        exit(2);
    }
    if (!S_ISDIR(info.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR* dir = opendir(path.c_str());
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            names.push_back(entry->d_name);
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        collect(path + "/" + name, files);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        collect(argv[i], files);
    }
    LLVMFuzzerInitialize(&argc, &argv);
    for (const auto& file : files) {
        std::ifstream stream(file, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
        for (int round = 0; round < kReplayRounds; ++round) {
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        }
#if defined(TEMBRIX_FUZZ_LSAN)
        // Nothing may stay allocated and unreachable after an input's last stop.
        if (__lsan_do_recoverable_leak_check() != 0) {
            fprintf(stderr, "tembrix_fuzz_replay: leak after %s\n", file.c_str());
            return 1;
        }
#endif
        fprintf(stderr, "replayed %s\n", file.c_str());
    }
    fprintf(stderr, "tembrix_fuzz_replay: %zu inputs, %d rounds each, no broken invariant\n", files.size(),
            kReplayRounds);
    return 0;
}

#endif
