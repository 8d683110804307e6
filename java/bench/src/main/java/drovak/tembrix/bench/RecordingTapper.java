package drovak.tembrix.bench;

import drovak.android.Tapper;

/**
 * A {@link Tapper} whose {@code tap()} only records {@code System.nanoTime()} into a preallocated array, and the
 * tapper thread's CPU time at the first and the last expected beat.
 */
final class RecordingTapper extends Tapper {

    private BeatLog log = new BeatLog(0);

    /** Makes room for the next run's taps; call before {@code startTapper()}. */
    void expect(int beats) {
        log = new BeatLog(beats);
    }

    @Override
    public void tap() {
        log.record(System.nanoTime());
    }

    /** The tapper thread's CPU time from the first expected beat to the last; valid once {@link #awaitAll} was. */
    long cpuNanos() {
        return log.cpuNanos();
    }

    /** Waits for the last expected tap; false if it has not come within the timeout. */
    boolean awaitAll(long timeoutMillis) throws InterruptedException {
        return log.awaitAll(timeoutMillis);
    }

    /** The recorded tap times; valid once {@link #awaitAll} returned true. */
    long[] taps() {
        return log.taps();
    }

    /** How many taps were recorded; exact once the tapper has been stopped. */
    int count() {
        return log.count();
    }
}
