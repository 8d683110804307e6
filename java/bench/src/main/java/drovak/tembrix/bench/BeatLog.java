package drovak.tembrix.bench;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * The beats of one run as the tapping thread records them: {@code System.nanoTime()} into a preallocated array,
 * and that thread's CPU time at the first and the last expected beat. Only the tapping thread records.
 */
final class BeatLog {

    private final long[] taps;
    private final CpuSpan cpu;
    private final CountDownLatch done = new CountDownLatch(1);
    private volatile int count;

    BeatLog(int beats) {
        taps = new long[beats];
        cpu = new CpuSpan(beats);
    }

    /** On the tapping thread: one beat, at {@code now}; beats past the expected ones are ignored. */
    void record(long now) {
        int i = count;
        if (i < taps.length) {
            taps[i] = now;
            count = i + 1;
            cpu.beat();
            if (i + 1 == taps.length) {
                done.countDown();
            }
        }
    }

    /** Waits for the last expected beat; false if it has not come within the timeout. */
    boolean awaitAll(long timeoutMillis) throws InterruptedException {
        return done.await(timeoutMillis, TimeUnit.MILLISECONDS);
    }

    /** The tapping thread's CPU time from the first expected beat to the last; valid once {@link #awaitAll} was. */
    long cpuNanos() {
        return cpu.nanos();
    }

    /** The recorded times; valid once {@link #awaitAll} returned true. */
    long[] taps() {
        return taps;
    }

    /** How many beats were recorded; exact once the tapping thread has stopped. */
    int count() {
        return count;
    }
}
