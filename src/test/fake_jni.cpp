#include "fake_jni.h"

#include <cstring>

namespace fake {
namespace {

struct Token {
    const char* name;
};
Token tapperToken{"drovak/android/Tapper"};
Token tapperClassToken{"class drovak/android/Tapper"};
Token globalRefToken{"global drovak/android/Tapper"};
Token tapMethodToken{"tap()V"};
Token exceptionClassTokens[8];
std::string exceptionClassNames[8];

Env* asEnv(JNIEnv* env) { return static_cast<Env*>(env); }

jclass JNICALL findClass(JNIEnv*, const char* name) {
    for (int i = 0; i < 8; ++i) {
        if (exceptionClassNames[i].empty() || exceptionClassNames[i] == name) {
            exceptionClassNames[i] = name;
            exceptionClassTokens[i].name = exceptionClassNames[i].c_str();
            return reinterpret_cast<jclass>(&exceptionClassTokens[i]);
        }
    }
    return nullptr;
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

jobject JNICALL newGlobalRef(JNIEnv*, jobject) {
    if (jvm().failGlobalRef) {
        return nullptr;
    }
    ++jvm().liveGlobalRefs;
    return reinterpret_cast<jobject>(&globalRefToken);
}

void JNICALL deleteGlobalRef(JNIEnv*, jobject ref) {
    if (ref != nullptr) {
        --jvm().liveGlobalRefs;
    }
}

jsize JNICALL getArrayLength(JNIEnv*, jarray array) {
    return static_cast<jsize>(reinterpret_cast<Array*>(array)->values.size());
}

void JNICALL getDoubleArrayRegion(JNIEnv*, jdoubleArray array, jsize start, jsize length, jdouble* out) {
    if (length > 0) {
        std::memcpy(out, reinterpret_cast<Array*>(array)->values.data() + start, sizeof(double) * length);
    }
}

jclass JNICALL getObjectClass(JNIEnv*, jobject) { return reinterpret_cast<jclass>(&tapperClassToken); }

jmethodID JNICALL getMethodID(JNIEnv* env, jclass, const char* name, const char* signature) {
    if (jvm().noTapMethod || std::strcmp(name, "tap") != 0 || std::strcmp(signature, "()V") != 0) {
        Env* e = asEnv(env);
        e->pending = true;
        e->thrownClass = "java/lang/NoSuchMethodError";
        e->thrownMessage = name;
        return nullptr;
    }
    return reinterpret_cast<jmethodID>(&tapMethodToken);
}

void JNICALL callVoidMethodV(JNIEnv* env, jobject target, jmethodID method, va_list) {
    Jvm& j = jvm();
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
    *env = static_cast<JNIEnv*>(&jvm().tapper);
    return JNI_OK;
}

jint JNICALL detachCurrentThread(JavaVM*) {
    ++jvm().detaches;
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
    envTable.ExceptionCheck = exceptionCheck;
    envTable.ExceptionDescribe = exceptionDescribe;
    envTable.ExceptionClear = exceptionClear;
    vmTable.AttachCurrentThread = attachCurrentThread;
    vmTable.DetachCurrentThread = detachCurrentThread;
    vm.functions = &vmTable;
    caller.functions = &envTable;
    tapper.functions = &envTable;
}

void Jvm::reset() {
    attaches = 0;
    detaches = 0;
    taps = 0;
    tapsOnWrongEnv = 0;
    failAttach = false;
    failGlobalRef = false;
    noTapMethod = false;
    tapThrows = false;
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
