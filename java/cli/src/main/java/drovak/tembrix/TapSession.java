package drovak.tembrix;

import drovak.android.Tapper;
import java.io.IOException;
import java.io.PrintWriter;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.locks.LockSupport;

/**
 * One run of a rhythm through the native tapper, measuring when each tap lands.
 *
 * <p>Threads:
 * <ul>
 *   <li>{@code tap()} runs on the native tapper thread, and any time it takes delays the next beat. It only reads
 *       the clock into a preallocated array, publishes the count and wakes the printer: no lock, no allocation,
 *       no output.
 *   <li>The printer thread prints a line for each recorded tap, once the tapper's start is known: a beat due at
 *       once may be tapped before {@code startTapper()} has returned.
 *   <li>The calling thread starts the tapper, takes its start time and whether it got real-time scheduling, and
 *       waits for the printer to finish. A shutdown hook (Ctrl-C) stops
 *       the tapper and ends the run early. Either ends the run under {@code lock}, once; nothing that holds
 *       {@code lock} waits without a bound for a thread that could want it, so the hook cannot deadlock: the
 *       tapper thread and the printer never take it, and the printer is waited for with a time limit.
 * </ul>
 */
final class TapSession {

    /** How long the printer sleeps between checks if no tap wakes it; a safety net only. */
    private static final long PRINTER_POLL_NANOS = 50_000_000L;
    /** How long ending the run waits for the printer to print the last taps. */
    private static final long PRINTER_DRAIN_MILLIS = 2_000L;
    private static final long NANOS_PER_MICRO = 1_000L;
    /** {@link #startNanos} before the tapper has started. */
    private static final long NOT_STARTED = Long.MIN_VALUE;
    private static final double MICROS_PER_SECOND = 1e6;

    /** What to do with the result, once, when the run ends (normally or by Ctrl-C). */
    interface Ending {
        void accept(Result result) throws IOException;
    }

    private final double[] beatList;
    private final long[] dueNanos;
    private final long[] tapNanos;
    private final AtomicInteger tapped = new AtomicInteger();
    private final PrintWriter out;
    private final PrintWriter err;
    private final Tapper tapper;
    private final Thread printer;

    private final Object lock = new Object();
    private boolean started; // guarded by lock
    private Result result;   // guarded by lock; set once the run has ended
    /** The tapper thread's start, from which the times count; set under lock before started. */
    private volatile long startNanos = NOT_STARTED;
    private long startupNanos;  // guarded by lock: from the startTapper() call to the tapper's start
    private boolean realTime;   // guarded by lock: whether the tapper thread got real-time scheduling
    private volatile boolean closing;

    /**
     * Prepares a run; nothing is tapped before {@link #play}.
     *
     * @param times the beat times in seconds from the start, all of which are tapped
     * @param precise whether the tapper sleeps until shortly before each beat and spins for the rest
     * @throws LinkageError if the native library cannot be loaded
     */
    TapSession(double[] times, boolean precise, PrintWriter out, PrintWriter err) {
        this.out = out;
        this.err = err;
        // The library never taps element 0, so every beat asked for follows it.
        beatList = new double[times.length + 1];
        System.arraycopy(times, 0, beatList, 1, times.length);
        dueNanos = new long[times.length];
        for (int i = 0; i < times.length; i++) {
            dueNanos[i] = dueNanos(times[i]);
        }
        tapNanos = new long[times.length];
        tapper = new Tapper(this::onTap);
        tapper.setPrecise(precise);
        printer = new Thread(this::printTaps, "tembrix-printer");
        printer.setDaemon(true);
    }

    /** A beat time as the library schedules it: truncated to the microsecond. */
    static long dueNanos(double seconds) {
        return (long) (seconds * MICROS_PER_SECOND) * NANOS_PER_MICRO;
    }

    /**
     * Plays the rhythm, printing each tap as it lands, and returns once every beat has been tapped or Ctrl-C has
     * stopped the run. {@code ending} runs once, on this thread or, after Ctrl-C, on the shutdown hook.
     *
     * @throws IOException if {@code ending} throws it
     * @throws InterruptedException if this thread is interrupted while it waits; the tapper is then stopped
     */
    Result play(Ending ending) throws IOException, InterruptedException {
        ShutdownEnding hook = new ShutdownEnding(() -> end(ending), out, err);
        try {
            Report.printHeader(out);
            // The library prints on its own stdout; ours goes first.
            out.flush();
            tapper.setBeatList(beatList);
            printer.start();
            synchronized (lock) {
                if (result == null) {
                    long called = System.nanoTime();
                    tapper.startTapper();
                    long start = tapper.startTimeNanos();
                    startupNanos = start - called;
                    realTime = tapper.isRealTime();
                    startNanos = start;
                    started = true;
                    LockSupport.unpark(printer);
                }
            }
            printer.join();
            return end(ending);
        } finally {
            hook.remove();
            // Only does something if the run ended by an exception: the tapper
            // stops, and so does the printer.
            tapper.stopTapper();
            closing = true;
            LockSupport.unpark(printer);
        }
    }

    /** On the native tapper thread: record the time and hand the index to the printer, nothing more. */
    private void onTap() {
        long now = System.nanoTime();
        int i = tapped.get(); // only this thread writes it
        if (i < tapNanos.length) {
            tapNanos[i] = now;
            tapped.set(i + 1);
            LockSupport.unpark(printer);
        }
    }

    private void printTaps() {
        int printed = 0;
        while (printed < tapNanos.length) {
            long start = startNanos;
            int available = start == NOT_STARTED ? printed : tapped.get();
            if (available == printed) {
                if (!closing) {
                    LockSupport.parkNanos(this, PRINTER_POLL_NANOS);
                    continue;
                }
                // The tapper has been stopped before closing was set: every tap is in, and
                // the start is known if there are any.
                start = startNanos;
                available = start == NOT_STARTED ? printed : tapped.get();
                if (available == printed) {
                    break;
                }
            }
            for (; printed < available; printed++) {
                Report.printTap(out, printed + 1, dueNanos[printed], tapNanos[printed] - start);
            }
            out.flush();
        }
    }

    private Result end(Ending ending) throws IOException, InterruptedException {
        synchronized (lock) {
            if (result != null) {
                return result;
            }
            if (started) {
                // Joins the tapper thread: no tap() runs after this returns.
                tapper.stopTapper();
            }
            closing = true;
            LockSupport.unpark(printer);
            if (printer.isAlive()) {
                printer.join(PRINTER_DRAIN_MILLIS);
            }
            result = snapshot();
            ending.accept(result);
            return result;
        }
    }

    private Result snapshot() {
        if (!started) {
            return Result.notStarted(dueNanos.length, tapper.isPrecise());
        }
        int taps = tapped.get();
        long start = startNanos;
        long[] actual = new long[taps];
        for (int i = 0; i < taps; i++) {
            actual[i] = tapNanos[i] - start;
        }
        return new Result(dueNanos.length, Arrays.copyOf(dueNanos, taps), actual, startupNanos, realTime,
                tapper.isPrecise());
    }

    /**
     * The taps of a run: due and actual times in nanoseconds from the tapper thread's start, in beat order; the
     * time from the {@code startTapper()} call to that start; whether the tapper thread got real-time
     * scheduling; and whether the rhythm was precise.
     */
    static final class Result {
        private final int beats;
        private final long[] dueNanos;
        private final long[] actualNanos;
        private final long startupNanos;
        private final boolean realTime;
        private final boolean precise;

        /**
         * @param startupNanos from the {@code startTapper()} call to the tapper thread's start; negative if the
         *     tapper never started, and there are then no taps
         */
        Result(int beats, long[] dueNanos, long[] actualNanos, long startupNanos, boolean realTime,
                boolean precise) {
            if (dueNanos.length != actualNanos.length || dueNanos.length > beats
                    || (startupNanos < 0 && dueNanos.length > 0)) {
                throw new IllegalArgumentException("taps do not match: " + dueNanos.length + " due, "
                        + actualNanos.length + " actual, of " + beats + " beats"
                        + (startupNanos < 0 ? ", not started" : ""));
            }
            this.beats = beats;
            this.dueNanos = dueNanos.clone();
            this.actualNanos = actualNanos.clone();
            this.startupNanos = startupNanos;
            this.realTime = realTime;
            this.precise = precise;
        }

        /** A run ended before the tapper started: no taps, and nothing known of its thread. */
        static Result notStarted(int beats, boolean precise) {
            return new Result(beats, new long[0], new long[0], -1, false, precise);
        }

        /** @return whether the tapper started; if not, there are no taps and no start-up or scheduling */
        boolean started() {
            return startupNanos >= 0;
        }

        /** @return from the {@code startTapper()} call to the tapper thread's start, in nanoseconds */
        long startupNanos() {
            return startupNanos;
        }

        /** @return whether the tapper thread got real-time scheduling, as {@link Tapper#isRealTime()} says */
        boolean realTime() {
            return realTime;
        }

        /** @return whether the rhythm was asked to be precise, as {@link Tapper#setPrecise} has it */
        boolean precise() {
            return precise;
        }

        /** @return how many beats the rhythm has */
        int beats() {
            return beats;
        }

        /** @return how many were tapped: all of them unless the run was stopped early */
        int taps() {
            return dueNanos.length;
        }

        boolean stoppedEarly() {
            return taps() < beats;
        }

        long[] dueNanos() {
            return dueNanos.clone();
        }

        long[] actualNanos() {
            return actualNanos.clone();
        }

        /** @return actual minus due time of each tap */
        long[] latenessNanos() {
            long[] lateness = new long[dueNanos.length];
            for (int i = 0; i < lateness.length; i++) {
                lateness[i] = actualNanos[i] - dueNanos[i];
            }
            return lateness;
        }
    }
}
