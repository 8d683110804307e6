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

    /** Points standard output (file descriptor 1) at /dev/null, or back. Returns false if that failed. */
    static native boolean muteStdout(boolean mute);
}
