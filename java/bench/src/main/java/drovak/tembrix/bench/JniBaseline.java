package drovak.tembrix.bench;

import java.nio.file.Path;

/** The bench-only JNI helper ({@code bench/jni_baseline.c}), loaded from a file by {@link #load}. */
final class JniBaseline {

    private static boolean loaded;

    private JniBaseline() {}

    /** Loads the helper library; throws {@link UnsatisfiedLinkError} if it cannot. */
    static synchronized void load(Path library) {
        if (!loaded) {
            System.load(library.toAbsolutePath().toString());
            loaded = true;
        }
    }

    static synchronized boolean isLoaded() {
        return loaded;
    }

    /**
     * The baseline for {@code setBeatList}: {@code GetDoubleArrayElements}, a copy into a new malloc'd block that
     * replaces the previous one, and {@code ReleaseDoubleArrayElements} with mode 0.
     *
     * @return the number of elements copied, or -1 if an allocation failed
     */
    static native int getReleaseCopy(double[] beats);

    /** Frees the block that {@link #getReleaseCopy} keeps. */
    static native void freeCopy();

    /**
     * Attaches a new native thread to this JVM and times its {@code DetachCurrentThread}, in nanoseconds; -1 if
     * the thread could not be created or attached.
     */
    static native long detachNanos();

    /**
     * Makes the loaded tembrix library's calls to {@code clock_gettime} go through a wrapper that can keep the
     * next reading (Linux x86-64 only). The library must be loaded first.
     *
     * @return whether the wrapper is in place
     */
    static native boolean traceLibraryT0();

    /** Keeps the next clock reading the library makes, which after a {@code startTapper()} is its t0. */
    static native void armT0();

    /** The reading kept since {@link #armT0}, in nanoseconds of the monotonic clock, or -1 if there is none. */
    static native long takeT0();

    /** Points standard output (file descriptor 1) at /dev/null, or back. Returns false if that failed. */
    static native boolean muteStdout(boolean mute);
}
