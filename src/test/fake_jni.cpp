#include "fake_jni.h"

#include <cstring>
#include <map>

namespace fake {
namespace {

struct Token {
    const char* name;
};
Token tapperToken{"drovak/android/Tapper"};
Token tapperClassToken{"class drovak/android/Tapper"};
Token globalRefToken{"global drovak/android/Tapper"};
Token tapMethodToken{"tap()V"};
Token threadToken{"java/lang/Thread current"};
Token threadWeakToken{"weak java/lang/Thread"};
Token loaderToken{"class loader"};
Token loaderGlobalToken{"global class loader"};
Token runtimeToken{"java/lang/Runtime"};
Token handlerToken{"uncaught exception handler"};
Token throwableToken{"thrown by tap()"};
Token stackTraceToken{"stack trace"};
Token frameTokens[2] = {{"drovak.android.Tapper"}, {"java.lang.Shutdown"}};
Token startTimeFieldToken{"nativeStartTimeNanos"};
Token realTimeFieldToken{"nativeRealTime"};
Token classTokens[16];
std::string classNames[16];

// Every method the library may look up, besides tap(); filled before any
// thread runs, and only read after that.
std::map<std::string, Token>& methods() {
    static std::map<std::string, Token> table; // built before the Jvm that fills it
    return table;
}

const char* const kMethodNames[] = {
    "currentThread", "setContextClassLoader", "getUncaughtExceptionHandler",
    "uncaughtException", "getStackTrace", "getClassName", "nanoTime", "getContextClassLoader",
    "getRuntime", "removeShutdownHook", "rhythmEvent",
};

bool isMethod(jmethodID method, const char* name) {
    return reinterpret_cast<Token*>(method) == &methods().at(name);
}

Env* asEnv(JNIEnv* env) { return static_cast<Env*>(env); }

std::mutex classTableLock; // the caller's and the tapper thread's FindClass may run at once

jclass JNICALL findClass(JNIEnv*, const char* name) {
    std::lock_guard<std::mutex> hold(classTableLock);
    for (int i = 0; i < 16; ++i) {
        if (classNames[i] == name) {
            return reinterpret_cast<jclass>(&classTokens[i]); // written once: other threads may read its name
        }
        if (classNames[i].empty()) {
            classNames[i] = name;
            classTokens[i].name = classNames[i].c_str();
            return reinterpret_cast<jclass>(&classTokens[i]);
        }
    }
    return nullptr;
}

void raise(JNIEnv* env, const char* className, const char* message) {
    Env* e = static_cast<Env*>(env);
    e->pending = true;
    e->thrownClass = className;
    e->thrownMessage = message;
}

jint JNICALL throwNew(JNIEnv* env, jclass clazz, const char* message) {
    Env* e = asEnv(env);
    e->pending = true;
    e->thrownClass = reinterpret_cast<Token*>(clazz)->name;
    e->thrownMessage = message;
    return 0;
}

void JNICALL deleteLocalRef(JNIEnv*, jobject) {}

jint JNICALL getJavaVM(JNIEnv*, JavaVM** vm) {
    *vm = &jvm().vm;
    return JNI_OK;
}

jobject JNICALL newGlobalRef(JNIEnv*, jobject object) {
    if (object == reinterpret_cast<jobject>(&loaderToken)) {
        ++jvm().liveLoaderRefs;
        return reinterpret_cast<jobject>(&loaderGlobalToken);
    }
    if (jvm().failGlobalRef) {
        return nullptr;
    }
    ++jvm().liveGlobalRefs;
    return reinterpret_cast<jobject>(&globalRefToken);
}

void JNICALL deleteGlobalRef(JNIEnv*, jobject ref) {
    if (ref == reinterpret_cast<jobject>(&loaderGlobalToken)) {
        --jvm().liveLoaderRefs;
    } else if (ref != nullptr) {
        --jvm().liveGlobalRefs;
    }
}

jweak JNICALL newWeakGlobalRef(JNIEnv* env, jobject object) {
    if (object != reinterpret_cast<jobject>(&threadToken)) {
        raise(env, "java/lang/AssertionError", "weak reference to something else");
        return nullptr;
    }
    ++jvm().liveThreadRefs;
    return reinterpret_cast<jweak>(&threadWeakToken);
}

void JNICALL deleteWeakGlobalRef(JNIEnv*, jweak ref) {
    if (ref == reinterpret_cast<jweak>(&threadWeakToken)) {
        --jvm().liveThreadRefs;
    }
}

jobject JNICALL newLocalRef(JNIEnv*, jobject ref) {
    return ref == reinterpret_cast<jobject>(&threadWeakToken) ? reinterpret_cast<jobject>(&threadToken) : ref;
}

jsize JNICALL getArrayLength(JNIEnv*, jarray array) {
    if (array == reinterpret_cast<jarray>(&stackTraceToken)) {
        return jvm().tapInsideJvmExit ? 2 : 1;
    }
    return static_cast<jsize>(reinterpret_cast<Array*>(array)->values.size());
}

jobject JNICALL getObjectArrayElement(JNIEnv*, jobjectArray, jsize index) {
    return reinterpret_cast<jobject>(&frameTokens[index]);
}

const char* JNICALL getStringUTFChars(JNIEnv*, jstring string, jboolean*) {
    return reinterpret_cast<Token*>(string)->name;
}

void JNICALL releaseStringUTFChars(JNIEnv*, jstring, const char*) {}

void JNICALL getDoubleArrayRegion(JNIEnv*, jdoubleArray array, jsize start, jsize length, jdouble* out) {
    if (length > 0) {
        std::memcpy(out, reinterpret_cast<Array*>(array)->values.data() + start, sizeof(double) * length);
    }
}

jclass JNICALL getObjectClass(JNIEnv*, jobject) { return reinterpret_cast<jclass>(&tapperClassToken); }

jmethodID JNICALL getMethodID(JNIEnv* env, jclass, const char* name, const char* signature) {
    if (std::strcmp(name, "tap") == 0 && std::strcmp(signature, "()V") == 0 && !jvm().noTapMethod) {
        return reinterpret_cast<jmethodID>(&tapMethodToken);
    }
    auto method = methods().find(name);
    if (method == methods().end() || std::strcmp(name, "tap") == 0 ||
        (std::strcmp(name, "rhythmEvent") == 0 && jvm().noEventMethod)) {
        raise(env, "java/lang/NoSuchMethodError", name);
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(&method->second);
}

jmethodID JNICALL getStaticMethodID(JNIEnv* env, jclass clazz, const char* name, const char* signature) {
    return getMethodID(env, clazz, name, signature);
}

jobject JNICALL callStaticObjectMethodV(JNIEnv*, jclass, jmethodID method, va_list) {
    if (isMethod(method, "getRuntime")) {
        return reinterpret_cast<jobject>(&runtimeToken);
    }
    return isMethod(method, "currentThread") ? reinterpret_cast<jobject>(&threadToken) : nullptr;
}

jboolean JNICALL callBooleanMethodV(JNIEnv* env, jobject target, jmethodID method, va_list) {
    if (isMethod(method, "removeShutdownHook") && target == reinterpret_cast<jobject>(&runtimeToken)) {
        if (jvm().shuttingDown) {
            raise(env, "java/lang/IllegalStateException", "Shutdown in progress");
        }
        return JNI_FALSE;
    }
    raise(env, "java/lang/AssertionError", "unexpected method");
    return JNI_FALSE;
}

jboolean JNICALL isInstanceOf(JNIEnv* env, jobject, jclass clazz) {
    return asEnv(env)->thrownClass == reinterpret_cast<Token*>(clazz)->name ? JNI_TRUE : JNI_FALSE;
}

jobject JNICALL callObjectMethodV(JNIEnv* env, jobject target, jmethodID method, va_list) {
    Jvm& j = jvm();
    if (isMethod(method, "getContextClassLoader")) {
        if (env == &j.caller && target == reinterpret_cast<jobject>(&threadToken)) {
            ++j.loadersAsked;
        }
        return reinterpret_cast<jobject>(&loaderToken);
    }
    if (isMethod(method, "getUncaughtExceptionHandler")) {
        return reinterpret_cast<jobject>(&handlerToken);
    }
    if (isMethod(method, "getStackTrace")) {
        ++j.exitChecks;
        return reinterpret_cast<jobject>(&stackTraceToken);
    }
    if (isMethod(method, "getClassName")) {
        return target; // a frame token carries its class name
    }
    raise(env, "java/lang/AssertionError", "unexpected method");
    return nullptr;
}

// The fields are looked up on the class that declares the natives.
jfieldID JNICALL getFieldID(JNIEnv* env, jclass clazz, const char* name, const char* signature) {
    const bool onTapper = std::strcmp(reinterpret_cast<Token*>(clazz)->name, "drovak/android/Tapper") == 0;
    if (onTapper && !jvm().noStartTimeField) {
        if (std::strcmp(name, startTimeFieldToken.name) == 0 && std::strcmp(signature, "J") == 0) {
            return reinterpret_cast<jfieldID>(&startTimeFieldToken);
        }
        if (std::strcmp(name, realTimeFieldToken.name) == 0 && std::strcmp(signature, "Z") == 0) {
            return reinterpret_cast<jfieldID>(&realTimeFieldToken);
        }
    }
    raise(env, "java/lang/NoSuchFieldError", name);
    return nullptr;
}

void JNICALL setLongField(JNIEnv*, jobject, jfieldID, jlong value) { jvm().startTimeNanos = value; }

void JNICALL setBooleanField(JNIEnv*, jobject, jfieldID, jboolean value) { jvm().realTimeField = value; }

jthrowable JNICALL exceptionOccurred(JNIEnv* env) {
    return asEnv(env)->pending ? reinterpret_cast<jthrowable>(&throwableToken) : nullptr;
}

jint JNICALL throwThrowable(JNIEnv* env, jthrowable) {
    raise(env, "java/lang/RuntimeException", "rethrown");
    return 0;
}

void JNICALL callVoidMethodV(JNIEnv* env, jobject target, jmethodID method, va_list arguments) {
    Jvm& j = jvm();
    if (isMethod(method, "setContextClassLoader")) {
        if (env == &j.tapper && target == reinterpret_cast<jobject>(&threadToken) &&
            va_arg(arguments, jobject) == reinterpret_cast<jobject>(&loaderGlobalToken)) {
            ++j.contextLoadersSet;
        }
        return;
    }
    if (isMethod(method, "rhythmEvent")) {
        if (env != &j.tapper || target != reinterpret_cast<jobject>(&globalRefToken)) {
            ++j.tapsOnWrongEnv;
        }
        ++j.events;
        return;
    }
    if (isMethod(method, "uncaughtException")) {
        jobject thread = va_arg(arguments, jobject);
        jobject thrown = va_arg(arguments, jobject);
        if (env == &j.tapper && target == reinterpret_cast<jobject>(&handlerToken) &&
            thread == reinterpret_cast<jobject>(&threadToken) &&
            thrown == reinterpret_cast<jobject>(&throwableToken)) {
            ++j.uncaughtHandled;
        }
        if (j.handlerThrows) {
            raise(env, "java/lang/IllegalStateException", "thrown by the handler");
        }
        return;
    }
    if (env != &j.tapper || target != reinterpret_cast<jobject>(&globalRefToken) ||
        method != reinterpret_cast<jmethodID>(&tapMethodToken)) {
        ++j.tapsOnWrongEnv;
    }
    if (j.onTap) {
        j.onTap();
    }
    if (j.tapThrows) {
        asEnv(env)->pending = true;
        asEnv(env)->thrownClass = "java/lang/RuntimeException";
    }
    {
        std::lock_guard<std::mutex> lock(j.mutex);
        j.tapTimes.push_back(std::chrono::steady_clock::now());
        ++j.taps;
        ++j.tapsSinceAttach;
    }
    j.tapped.notify_all();
}

jboolean JNICALL exceptionCheck(JNIEnv* env) { return asEnv(env)->pending ? JNI_TRUE : JNI_FALSE; }

void JNICALL exceptionDescribe(JNIEnv* env) { ++asEnv(env)->describes; }

void JNICALL exceptionClear(JNIEnv* env) { asEnv(env)->pending = false; }

jint JNICALL attachCurrentThread(JavaVM*, void** env, void*) {
    if (jvm().failAttach) {
        return JNI_ERR;
    }
    ++jvm().attaches;
    jvm().tapsSinceAttach = 0;
    *env = static_cast<JNIEnv*>(&jvm().tapper);
    return JNI_OK;
}

jint JNICALL detachCurrentThread(JavaVM*) {
    ++jvm().detaches;
    return JNI_OK;
}

// The caller's thread, as a JVM's own thread that unloads a library.
jint JNICALL getEnv(JavaVM*, void** env, jint) {
    *env = static_cast<JNIEnv*>(&jvm().caller);
    return JNI_OK;
}

} // namespace

Jvm::Jvm() {
    envTable.FindClass = findClass;
    envTable.ThrowNew = throwNew;
    envTable.DeleteLocalRef = deleteLocalRef;
    envTable.GetJavaVM = getJavaVM;
    envTable.NewGlobalRef = newGlobalRef;
    envTable.DeleteGlobalRef = deleteGlobalRef;
    envTable.GetArrayLength = getArrayLength;
    envTable.GetDoubleArrayRegion = getDoubleArrayRegion;
    envTable.GetObjectClass = getObjectClass;
    envTable.GetMethodID = getMethodID;
    envTable.CallVoidMethodV = callVoidMethodV;
    envTable.GetStaticMethodID = getStaticMethodID;
    envTable.CallStaticObjectMethodV = callStaticObjectMethodV;
    envTable.CallObjectMethodV = callObjectMethodV;
    envTable.GetFieldID = getFieldID;
    envTable.SetLongField = setLongField;
    envTable.SetBooleanField = setBooleanField;
    envTable.NewWeakGlobalRef = newWeakGlobalRef;
    envTable.DeleteWeakGlobalRef = deleteWeakGlobalRef;
    envTable.NewLocalRef = newLocalRef;
    envTable.CallBooleanMethodV = callBooleanMethodV;
    envTable.IsInstanceOf = isInstanceOf;
    envTable.ExceptionOccurred = exceptionOccurred;
    envTable.Throw = throwThrowable;
    envTable.GetObjectArrayElement = getObjectArrayElement;
    envTable.GetStringUTFChars = getStringUTFChars;
    envTable.ReleaseStringUTFChars = releaseStringUTFChars;
    envTable.ExceptionCheck = exceptionCheck;
    envTable.ExceptionDescribe = exceptionDescribe;
    envTable.ExceptionClear = exceptionClear;
    vmTable.AttachCurrentThread = attachCurrentThread;
    vmTable.DetachCurrentThread = detachCurrentThread;
    vmTable.GetEnv = getEnv;
    for (const char* name : kMethodNames) {
        methods()[name].name = name;
    }
    vm.functions = &vmTable;
    caller.functions = &envTable;
    tapper.functions = &envTable;
}

void Jvm::reset() {
    attaches = 0;
    detaches = 0;
    taps = 0;
    tapsSinceAttach = 0;
    tapsOnWrongEnv = 0;
    failAttach = false;
    failGlobalRef = false;
    noTapMethod = false;
    tapThrows = false;
    handlerThrows = false;
    noStartTimeField = false;
    noEventMethod = false;
    events = 0;
    tapInsideJvmExit = false;
    shuttingDown = false;
    contextLoadersSet = 0;
    loadersAsked = 0;
    realTimeField = -1;
    uncaughtHandled = 0;
    startTimeNanos = 0;
    exitChecks = 0;
    onTap = nullptr;
    for (Env* e : {&caller, &tapper}) {
        e->pending = false;
        e->thrownClass.clear();
        e->thrownMessage.clear();
        e->describes = 0;
    }
    std::lock_guard<std::mutex> lock(mutex);
    tapTimes.clear();
}

bool Jvm::waitForTaps(int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return tapped.wait_for(lock, timeout, [&] { return static_cast<int>(tapTimes.size()) >= n; });
}

std::vector<std::chrono::steady_clock::time_point> Jvm::times() {
    std::lock_guard<std::mutex> lock(mutex);
    return tapTimes;
}

Jvm& jvm() {
    static Jvm instance;
    return instance;
}

jdoubleArray newArray(Array& array) { return reinterpret_cast<jdoubleArray>(&array); }

jobject tapperObject() { return reinterpret_cast<jobject>(&tapperToken); }

} // namespace fake
