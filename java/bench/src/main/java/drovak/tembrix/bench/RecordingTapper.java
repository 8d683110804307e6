package drovak.tembrix.bench;

import drovak.android.Tapper;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * A {@link Tapper} whose {@code tap()} only records {@code System.nanoTime()} into a preallocated array, and the
 * tapper thread's CPU time at the first and the last expected beat.
 */
final class RecordingTapper extends Tapper {

    private long[] taps = new long[0];
    private int count;
    private CpuSpan cpu = new CpuSpan(0);
    private CountDownLatch done = new CountDownLatch(0);

    /** Makes room for the next run's taps; call before {@code startTapper()}. */
    void expect(int beats) {
        taps = new long[beats];
        count = 0;
        cpu = new CpuSpan(beats);
        done = new CountDownLatch(1);
    }

    @Override
    public void tap() {
        long now = System.nanoTime();
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

    /** The tapper thread's CPU time from the first expected beat to the last; valid once {@link #awaitAll} was. */
    long cpuNanos() {
        return cpu.nanos();
    }

    /** Waits for the last expected tap; false if it has not come within the timeout. */
    boolean awaitAll(long timeoutMillis) throws InterruptedException {
        return done.await(timeoutMillis, TimeUnit.MILLISECONDS);
    }

    /** The recorded tap times; valid once {@link #awaitAll} returned true. */
    long[] taps() {
        return taps;
    }

    /** How many taps were recorded; exact once the tapper has been stopped. */
    int count() {
        return count;
    }
}
