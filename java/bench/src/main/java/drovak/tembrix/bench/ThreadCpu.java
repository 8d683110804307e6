package drovak.tembrix.bench;

import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;

/**
 * The CPU time of the calling thread, in nanoseconds, as the JVM reads it from the system's per-thread CPU clock.
 * That clock counts all the thread's time on a CPU, in native code too: for the library's tapper thread, a native
 * thread attached to the JVM, it includes the sleeps' system calls and precise mode's spin between two calls to
 * {@code tap()}.
 */
final class ThreadCpu {

    /** What {@link #now()} returns where the JVM cannot read a thread's CPU time. */
    static final long UNKNOWN = -1;

    private static final ThreadMXBean THREADS = ManagementFactory.getThreadMXBean();
    private static final boolean SUPPORTED = enable();

    private ThreadCpu() {}

    private static boolean enable() {
        if (!THREADS.isCurrentThreadCpuTimeSupported()) {
            return false;
        }
        try {
            if (!THREADS.isThreadCpuTimeEnabled()) {
                THREADS.setThreadCpuTimeEnabled(true);
            }
            return true;
        } catch (UnsupportedOperationException | SecurityException e) {
            return false;
        }
    }

    /** The calling thread's CPU time so far, or {@link #UNKNOWN}. */
    static long now() {
        return SUPPORTED ? THREADS.getCurrentThreadCpuTime() : UNKNOWN;
    }

    /**
     * The CPU time between two readings of the same thread, or {@link #UNKNOWN} if either is unknown (or the
     * second was never taken).
     */
    static long between(long first, long last) {
        return first < 0 || last < first ? UNKNOWN : last - first;
    }
}
