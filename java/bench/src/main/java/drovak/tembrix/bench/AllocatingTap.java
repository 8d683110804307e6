package drovak.tembrix.bench;

import drovak.android.Tapper;
import java.util.Locale;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * The allocating case, run in a JVM of its own: a {@code tap()} that allocates 1 KB while two other threads of the
 * same JVM churn the heap, as a game or a sequencer would. It taps a steady pulse and prints, on standard output,
 * one line that {@link AllocatingCase} reads:
 *
 * <pre>
 * tembrix-alloc real_time=true taps=2500 beats=2500 lateness_ns=41230,38800,...
 * </pre>
 *
 * <p>Lateness counts from the tapper's own start, {@code Tapper.startTimeNanos()}. A run that has not tapped every
 * beat some 20 s after its last one is due is stopped, and the line says how many it tapped.
 *
 * <p>Arguments: beats, period in microseconds, and how long the heap churns before the start, in milliseconds.
 */
final class AllocatingTap {

    /** What the result line starts with. */
    static final String PREFIX = "tembrix-alloc ";

    private static final int TAP_ALLOCATION_BYTES = 1024;
    private static final int CHURNING_THREADS = 2;
    private static final long GRACE_MILLIS = 20_000;

    /** Where the allocations go, so that the JIT cannot drop them. */
    static volatile Object sink;

    private AllocatingTap() {}

    public static void main(String[] args) throws InterruptedException {
        if (args.length != 3) {
            throw new IllegalArgumentException("usage: AllocatingTap BEATS PERIOD_MICROS SETTLE_MILLIS");
        }
        int beats = Integer.parseInt(args[0]);
        long periodMicros = Long.parseLong(args[1]);
        long settleMillis = Long.parseLong(args[2]);

        long[] taps = new long[beats];
        int[] count = {0}; // written by the tapper thread only; read after the stop, which joins it
        CountDownLatch done = new CountDownLatch(1);
        Tapper tapper = new Tapper(() -> {
            long now = System.nanoTime();
            int i = count[0];
            if (i < taps.length) {
                taps[i] = now;
                count[0] = i + 1;
                sink = new byte[TAP_ALLOCATION_BYTES];
                if (i + 1 == taps.length) {
                    done.countDown();
                }
            }
        });
        Churn churn = new Churn();
        churn.start();
        Thread.sleep(settleMillis);

        double[] beatList = new double[beats + 1];
        for (int i = 1; i <= beats; i++) {
            beatList[i] = Schedule.secondsFor(i * periodMicros);
        }
        tapper.setBeatList(beatList);
        tapper.startTapper();
        long start = tapper.startTimeNanos();
        boolean realTime = tapper.isRealTime();
        done.await(beats * periodMicros / 1_000 + GRACE_MILLIS, TimeUnit.MILLISECONDS);
        tapper.stopTapper();
        churn.stop();

        int tapped = count[0];
        StringBuilder line = new StringBuilder(PREFIX).append(String.format(Locale.ROOT,
                "real_time=%b taps=%d beats=%d lateness_ns=", realTime, tapped, beats));
        for (int i = 0; i < tapped; i++) {
            // secondsFor() made the library's truncation land on (i + 1) periods exactly.
            long due = start + (i + 1) * periodMicros * 1_000;
            line.append(i == 0 ? "" : ",").append(taps[i] - due);
        }
        System.out.println(line);
        System.out.flush();
    }

    /** The threads that churn the heap: each keeps a ring of 4096 small arrays and replaces them as fast as it can. */
    private static final class Churn {
        private final Thread[] threads = new Thread[CHURNING_THREADS];
        private volatile boolean stopped;

        void start() {
            for (int t = 0; t < threads.length; t++) {
                threads[t] = new Thread(this::churn, "churn-" + t);
                threads[t].setDaemon(true);
                threads[t].start();
            }
        }

        private void churn() {
            Object[] keep = new Object[4096];
            int i = 0;
            while (!stopped) {
                keep[i & 4095] = new byte[64 + (i & 1023)];
                i++;
            }
        }

        void stop() throws InterruptedException {
            stopped = true;
            for (Thread thread : threads) {
                thread.join();
            }
        }
    }
}
