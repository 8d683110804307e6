// Bench-only JNI helper for drovak.tembrix.bench.JniBaseline:
// - the baseline that setBeatList is measured against: the usual way to take a
//   Java array into native memory, GetDoubleArrayElements, a copy into a
//   malloc'd block, and ReleaseDoubleArrayElements with mode 0. The block is
//   kept until the next call, as the library keeps its list;
// - muting standard output while the benchmark runs, since the library prints
//   a line at each setBeatList and startTapper;
// - the cost of DetachCurrentThread for a native thread, one part of what a
//   stop of the tapper waits for;
// - the library's exact t0. The tapper thread reads t0 as its first clock
//   reading, where Java cannot see it. On Linux x86-64 the helper points the
//   library's GOT slot for clock_gettime at a wrapper that, once armed, keeps
//   the first reading it returns. Only the library's own calls go through
//   the wrapper, at the cost of one extra call each.

#define _GNU_SOURCE
#include <jni.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

#if defined(__linux__) && defined(__x86_64__)
#include <elf.h>
#include <link.h>
#include <stdatomic.h>
#define TEMBRIX_BENCH_T0_TRACING 1
#endif
#include <unistd.h>

static double* heldBlock;
static int savedStdout = -1;

JNIEXPORT jint JNICALL Java_drovak_tembrix_bench_JniBaseline_getReleaseCopy(JNIEnv* env, jclass type,
                                                                           jdoubleArray beats) {
    (void)type;
    const jsize length = (*env)->GetArrayLength(env, beats);
    double* block = malloc((size_t)length * sizeof *block);
    free(heldBlock);
    heldBlock = block;
    if (block == NULL && length > 0) {
        return -1;
    }
    jdouble* elements = (*env)->GetDoubleArrayElements(env, beats, NULL);
    if (elements == NULL) {
        return -1;
    }
    memcpy(block, elements, (size_t)length * sizeof *block);
    (*env)->ReleaseDoubleArrayElements(env, beats, elements, 0);
    return length;
}

JNIEXPORT void JNICALL Java_drovak_tembrix_bench_JniBaseline_freeCopy(JNIEnv* env, jclass type) {
    (void)env;
    (void)type;
    free(heldBlock);
    heldBlock = NULL;
}

JNIEXPORT jboolean JNICALL Java_drovak_tembrix_bench_JniBaseline_muteStdout(JNIEnv* env, jclass type,
                                                                           jboolean mute) {
    (void)env;
    (void)type;
    if (mute && savedStdout < 0) {
        const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devNull < 0) {
            return JNI_FALSE;
        }
        savedStdout = dup(STDOUT_FILENO);
        const int muted = savedStdout >= 0 && dup2(devNull, STDOUT_FILENO) >= 0;
        close(devNull);
        if (!muted) {
            if (savedStdout >= 0) {
                close(savedStdout);
            }
            savedStdout = -1;
            return JNI_FALSE;
        }
    } else if (!mute && savedStdout >= 0) {
        dup2(savedStdout, STDOUT_FILENO);
        close(savedStdout);
        savedStdout = -1;
    }
    return JNI_TRUE;
}

#define NSEC_PER_SEC INT64_C(1000000000)

static int64_t nowNsec(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * NSEC_PER_SEC + now.tv_nsec;
}

struct Detach {
    JavaVM* vm;
    int64_t nanos;
};

static void* attachAndDetach(void* argument) {
    struct Detach* detach = argument;
    JNIEnv* env;
    if ((*detach->vm)->AttachCurrentThread(detach->vm, (void**)&env, NULL) != JNI_OK) {
        detach->nanos = -1;
        return NULL;
    }
    const int64_t start = nowNsec();
    (*detach->vm)->DetachCurrentThread(detach->vm);
    detach->nanos = nowNsec() - start;
    return NULL;
}

// Attaches a new native thread to the JVM and times its DetachCurrentThread;
// -1 if the thread could not be created or attached.
JNIEXPORT jlong JNICALL Java_drovak_tembrix_bench_JniBaseline_detachNanos(JNIEnv* env, jclass type) {
    (void)type;
    struct Detach detach = {NULL, -1};
    if ((*env)->GetJavaVM(env, &detach.vm) != 0) {
        return -1;
    }
    pthread_t thread;
    if (pthread_create(&thread, NULL, attachAndDetach, &detach) != 0) {
        return -1;
    }
    pthread_join(thread, NULL);
    return detach.nanos;
}

// --- The library's t0 ---------------------------------------------------------

#if defined(TEMBRIX_BENCH_T0_TRACING)

typedef int (*ClockGettime)(clockid_t, struct timespec*);

static ClockGettime realClockGettime;
static atomic_int t0Armed;
static _Atomic int64_t t0Read = -1;

static int recordingClockGettime(clockid_t clock, struct timespec* time) {
    const int result = realClockGettime(clock, time);
    if (atomic_load_explicit(&t0Armed, memory_order_relaxed) != 0 && atomic_exchange(&t0Armed, 0) != 0) {
        atomic_store(&t0Read, (int64_t)time->tv_sec * NSEC_PER_SEC + time->tv_nsec);
    }
    return result;
}

// Addresses in the dynamic section are absolute once glibc has loaded the
// object, but relative to its base in some loaders: accept both.
static uintptr_t absolute(uintptr_t base, uintptr_t address) {
    return address < base ? base + address : address;
}

// Finds the GOT slot through which the object calls clock_gettime.
static void** clockSlot(const struct dl_phdr_info* info) {
    const uintptr_t base = info->dlpi_addr;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type != PT_DYNAMIC) {
            continue;
        }
        const ElfW(Rela)* tables[2] = {NULL, NULL};
        size_t sizes[2] = {0, 0};
        const ElfW(Sym)* symbols = NULL;
        const char* names = NULL;
        for (const ElfW(Dyn)* dyn = (const ElfW(Dyn)*)(base + info->dlpi_phdr[i].p_vaddr); dyn->d_tag != DT_NULL;
             ++dyn) {
            switch (dyn->d_tag) {
            case DT_JMPREL: tables[0] = (const ElfW(Rela)*)absolute(base, dyn->d_un.d_ptr); break;
            case DT_PLTRELSZ: sizes[0] = dyn->d_un.d_val; break;
            case DT_RELA: tables[1] = (const ElfW(Rela)*)absolute(base, dyn->d_un.d_ptr); break;
            case DT_RELASZ: sizes[1] = dyn->d_un.d_val; break;
            case DT_SYMTAB: symbols = (const ElfW(Sym)*)absolute(base, dyn->d_un.d_ptr); break;
            case DT_STRTAB: names = (const char*)absolute(base, dyn->d_un.d_ptr); break;
            default: break;
            }
        }
        if (symbols == NULL || names == NULL) {
            return NULL;
        }
        for (int t = 0; t < 2; ++t) {
            for (size_t r = 0; tables[t] != NULL && r < sizes[t] / sizeof(ElfW(Rela)); ++r) {
                const ElfW(Rela)* rela = &tables[t][r];
                const unsigned long type = ELF64_R_TYPE(rela->r_info);
                if ((type == R_X86_64_JUMP_SLOT || type == R_X86_64_GLOB_DAT)
                    && strcmp(names + symbols[ELF64_R_SYM(rela->r_info)].st_name, "clock_gettime") == 0) {
                    return (void**)(base + rela->r_offset);
                }
            }
        }
    }
    return NULL;
}

static int patchLibrary(struct dl_phdr_info* info, size_t size, void* found) {
    (void)size;
    const char* name = info->dlpi_name;
    const char* file = name == NULL ? NULL : strrchr(name, '/');
    file = file == NULL ? name : file + 1;
    if (file == NULL || strncmp(file, "libtembrix", 10) != 0 || strstr(file, "bench") != NULL) {
        return 0;
    }
    void** slot = clockSlot(info);
    if (slot == NULL) {
        return 0;
    }
    const uintptr_t page = (uintptr_t)slot & ~(uintptr_t)(sysconf(_SC_PAGESIZE) - 1);
    const size_t length = (uintptr_t)(slot + 1) - page;
    if (mprotect((void*)page, length, PROT_READ | PROT_WRITE) != 0) {
        return 0;
    }
    *slot = (void*)recordingClockGettime;
    mprotect((void*)page, length, PROT_READ);
    *(int*)found = 1;
    return 1;
}

#endif

// Points the loaded library's clock_gettime at the recording wrapper. Returns
// false where that cannot be done (another platform, or no library loaded).
JNIEXPORT jboolean JNICALL Java_drovak_tembrix_bench_JniBaseline_traceLibraryT0(JNIEnv* env, jclass type) {
    (void)env;
    (void)type;
#if defined(TEMBRIX_BENCH_T0_TRACING)
    static int patched;
    if (!patched) {
        realClockGettime = (ClockGettime)dlsym(RTLD_DEFAULT, "clock_gettime");
        if (realClockGettime != NULL) {
            dl_iterate_phdr(patchLibrary, &patched);
        }
    }
    return patched ? JNI_TRUE : JNI_FALSE;
#else
    return JNI_FALSE;
#endif
}

// Keeps the next clock reading the library makes.
JNIEXPORT void JNICALL Java_drovak_tembrix_bench_JniBaseline_armT0(JNIEnv* env, jclass type) {
    (void)env;
    (void)type;
#if defined(TEMBRIX_BENCH_T0_TRACING)
    atomic_store(&t0Read, -1);
    atomic_store(&t0Armed, 1);
#endif
}

// The reading kept since armT0, in nanoseconds of CLOCK_MONOTONIC, or -1.
JNIEXPORT jlong JNICALL Java_drovak_tembrix_bench_JniBaseline_takeT0(JNIEnv* env, jclass type) {
    (void)env;
    (void)type;
#if defined(TEMBRIX_BENCH_T0_TRACING)
    atomic_store(&t0Armed, 0);
    return atomic_exchange(&t0Read, -1);
#else
    return -1;
#endif
}
