// A fake JavaVM and JNIEnv for driving the natives and the tapper thread
// without a JVM. The function tables start zeroed and fill only the slots the
// library uses, so a call through any other slot crashes the test at once.
#pragma once

#include <jni.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fake {

// One JNIEnv per thread: the caller's and the tapper thread's.
struct Env : JNIEnv_ {
    bool pending = false;
    std::string thrownClass;
    std::string thrownMessage;
    int describes = 0;
};

struct Array {
    std::vector<double> values;
};

struct Jvm {
    JNINativeInterface_ envTable{};
    JNIInvokeInterface_ vmTable{};
    JavaVM_ vm{};
    Env caller;
    Env tapper;

    std::atomic<int> attaches{0};
    std::atomic<int> detaches{0};
    std::atomic<int> liveGlobalRefs{0};       // to the Tapper
    std::atomic<int> liveThreadRefs{0};       // weak, to the tapper thread's java.lang.Thread
    std::atomic<int> liveLoaderRefs{0};       // to the starting thread's context class loader
    std::atomic<int> taps{0};
    std::atomic<int> tapsSinceAttach{0};      // by the tapper thread that attached last: the current rhythm's
    std::atomic<int> tapsOnWrongEnv{0};
    std::atomic<int> contextLoadersSet{0};    // to the starting thread's loader, on the tapper thread
    std::atomic<int> loadersAsked{0};         // context loaders read on the caller's thread
    std::atomic<int> uncaughtHandled{0};      // exceptions handed to the thread's handler
    std::atomic<int64_t> startTimeNanos{0};   // what the library wrote to the Tapper's field
    std::atomic<int> realTimeField{-1};       // likewise, 0 or 1; -1 if never written
    std::atomic<int> exitChecks{0};           // stack traces of the tapper thread taken
    std::atomic<int> events{0};               // calls of the library's own Tapper's rhythmEvent()

    // Knobs a test sets before it starts the tapper.
    bool failAttach = false;
    bool failGlobalRef = false;
    bool noTapMethod = false;
    bool tapThrows = false;
    bool handlerThrows = false;
    bool noStartTimeField = false;            // a Tapper class of the caller's own, without the fields
    bool noEventMethod = false;               // ... or without rhythmEvent()
    std::atomic<bool> tapInsideJvmExit{false}; // the tapper thread's stack shows the JVM's exit
    std::atomic<bool> shuttingDown{false};    // the JVM's shutdown has begun
    std::function<void()> onTap;

    std::mutex mutex;
    std::condition_variable tapped;
    std::vector<std::chrono::steady_clock::time_point> tapTimes;

    Jvm();
    void reset();

    JNIEnv* env() { return &caller; }
    JNIEnv* tapperEnv() { return &tapper; }

    // Waits until at least n taps have happened; false on timeout.
    bool waitForTaps(int n, std::chrono::milliseconds timeout);
    std::vector<std::chrono::steady_clock::time_point> times();
};

// The one fake JVM of the test process: JNI function tables carry no user data.
Jvm& jvm();

// A Java double[] of the given values.
jdoubleArray newArray(Array& array);

// The Tapper object handed to the natives.
jobject tapperObject();

} // namespace fake
