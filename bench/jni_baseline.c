// Bench-only JNI helper for drovak.tembrix.bench.JniBaseline:
// - the baseline that setBeatList is measured against: the usual way to take a
//   Java array into native memory, GetDoubleArrayElements, a copy into a
//   malloc'd block, and ReleaseDoubleArrayElements with mode 0. The block is
//   kept until the next call, as the library keeps its list;
// - muting standard output while the benchmark runs, since the library prints
//   a line at each setBeatList and startTapper.

#include <jni.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
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
