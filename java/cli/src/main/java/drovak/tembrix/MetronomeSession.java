package drovak.tembrix;

import drovak.android.Metronome;
import drovak.android.Tapper;
import java.io.IOException;
import java.io.PrintWriter;
import java.io.Writer;
import java.util.Arrays;
import java.util.concurrent.locks.LockSupport;

/**
 * One run of the library's {@link Metronome}, endless or for a count of beats, with the tempo of a
 * {@link TempoPlan}, measuring when each beat lands against its due time. Times count from the first beat's due
 * time, the one origin that a metronome run has.
 *
 * <p>Threads:
 * <ul>
 *   <li>The listener runs on the native tapper thread, and any time it takes delays the next beat. It reads the
 *       clock, sets the tempo of the next beat (the ramp), puts the beat into a {@link BeatRing}, and wakes the
 *       printer (and, at the last beat of a count, the waiting caller): no lock, no allocation, no output.
 *   <li>The printer drains the ring: a line per beat, a CSV row, and the lateness and click times kept for the
 *       summary and the click track.
 *   <li>The calling thread starts the metronome and waits for the count, or for ever. A shutdown hook (Ctrl-C)
 *       ends the run early. Either ends it under {@code lock}, once, as {@link TapSession} does: the tapper thread
 *       and the printer never take that lock, and the printer is waited for with a time limit.
 * </ul>
 *
 * <p>If the printer falls behind (its output blocks, say), the beats still come on time, since the listener never
 * waits for it. The ring holds {@link #RING_CAPACITY} beats, over two minutes at the fastest tempo; a beat that
 * finds it full is not measured. The output shows such a gap when the printer catches up, and the summary counts
 * the beats in it.
 */
final class MetronomeSession {

    /** The count of a run that goes on until it is stopped. */
    static final long ENDLESS = Long.MAX_VALUE;

    /** Beats the printer may fall behind by before beats go unmeasured. */
    static final int RING_CAPACITY = 1 << 14;

    /** The most beats whose lateness the summary covers (8 bytes each); a longer run is summed up by these. */
    static final int MAX_MEASURED = Rhythm.MAX_BEATS;

    /** Clicks kept for the click track: those within its length, with room for the last click's tail. */
    private static final long MAX_CLICK_NANOS = (long) ((ClickTrack.MAX_SECONDS - 1) * 1e9);

    /** How long the printer and the caller sleep between checks if nothing wakes them; a safety net only. */
    private static final long POLL_NANOS = 50_000_000L;
    /** How long ending the run waits for the printer to print the last beats. */
    private static final long PRINTER_DRAIN_MILLIS = 2_000L;

    /** What to do with the result, once, when the run ends (normally or by Ctrl-C). */
    interface Ending {
        void accept(Result result) throws IOException;
    }

    private final TempoPlan plan;
    private final long count;
    private final boolean precise;
    private boolean realTime; // guarded by lock: whether the tapper thread got real-time scheduling
    private final PrintWriter out;
    private final PrintWriter err;
    private final Writer csv;
    private final Metronome metronome;
    private final BeatRing ring;
    private final Thread printer;
    private volatile Thread waiter;
    /** Beats of the count that the listener was called for; only the tapper thread writes it. */
    private volatile long heard;

    // The printer's record of the run; end() reads it under the same lock.
    private final Object history = new Object();
    private long origin;
    private long recorded;
    private long[] lateness = new long[1024];
    private int measured;
    private long[] clicks;
    private int clickCount;
    private boolean clicksCut;
    private volatile IOException csvFailure;

    private final Object lock = new Object();
    private boolean started; // guarded by lock
    private Result result;   // guarded by lock; set once the run has ended
    private volatile boolean closing;

    /**
     * Prepares a run; nothing beats before {@link #play}.
     *
     * @param count how many beats to play, or {@link #ENDLESS}
     * @param csv where to stream a CSV row per beat, after a header line; null for none
     * @param keepClicks whether to keep the click times for a click track
     * @throws LinkageError if the native library cannot be loaded
     */
    MetronomeSession(TempoPlan plan, long count, boolean precise, PrintWriter out, PrintWriter err, Writer csv,
            boolean keepClicks) {
        this(plan, count, precise, out, err, csv, keepClicks, RING_CAPACITY);
    }

    /** A session whose printer may fall {@code ringCapacity} beats behind, a power of two. */
    MetronomeSession(TempoPlan plan, long count, boolean precise, PrintWriter out, PrintWriter err, Writer csv,
            boolean keepClicks, int ringCapacity) {
        if (count < 1) {
            throw new IllegalArgumentException("count must be at least 1, got " + count);
        }
        this.plan = plan;
        this.count = count;
        this.precise = precise;
        this.out = out;
        this.err = err;
        this.csv = csv;
        this.clicks = keepClicks ? new long[1024] : null;
        ring = new BeatRing(ringCapacity);
        loadLibrary();
        metronome = new Metronome(plan.bpm(0), this::onBeat);
        metronome.setPrecise(precise);
        printer = new Thread(this::printBeats, "tembrix-printer");
        printer.setDaemon(true);
    }

    /**
     * Loads the native library now. {@code Metronome.start()} places the first beat a short lead after its call,
     * and the first start in a process would otherwise spend that lead, and more, loading the library: beat 0
     * would then be overdue, and land off the grid of the beats after it.
     */
    private static void loadLibrary() {
        try {
            Class.forName(Tapper.class.getName(), true, Tapper.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new NoClassDefFoundError(e.getMessage());
        }
    }

    /**
     * Plays until the count has been heard or Ctrl-C stops the run, printing each beat as it lands.
     * {@code ending} runs once, on this thread or, after Ctrl-C, on the shutdown hook.
     *
     * @throws IOException if {@code ending} throws it
     * @throws InterruptedException if this thread is interrupted while it waits; the metronome is then stopped
     */
    Result play(Ending ending) throws IOException, InterruptedException {
        ShutdownEnding hook = new ShutdownEnding(() -> end(ending), out, err);
        try {
            Report.printMetronomeHeader(out);
            // The library prints on its own stdout; ours goes first.
            out.flush();
            writeCsv(Report.METRONOME_CSV_HEADER + "\n");
            flushCsv();
            waiter = Thread.currentThread();
            printer.start();
            synchronized (lock) {
                if (result == null) {
                    metronome.start();
                    realTime = metronome.isRealTime();
                    started = true;
                }
            }
            while (heard < count && !closing) {
                LockSupport.parkNanos(this, POLL_NANOS);
                if (Thread.interrupted()) {
                    throw new InterruptedException("interrupted while the metronome played");
                }
            }
            return end(ending);
        } finally {
            hook.remove();
            // Only does something if the run ended by an exception: the metronome
            // stops, and so does the printer.
            metronome.stop();
            closing = true;
            LockSupport.unpark(printer);
        }
    }

    /** @return the beats of the count heard so far */
    long heard() {
        return heard;
    }

    /** On the native tapper thread: measure, set the next beat's tempo, hand over, wake; nothing more. */
    private void onBeat(long index, long dueNanos) {
        long now = System.nanoTime();
        if (index >= count) {
            return; // due after the count, before the stop took effect
        }
        // The interval before the next beat is the period of its tempo.
        metronome.setTempo(plan.bpm(index + 1));
        ring.put(index, dueNanos, now);
        heard = index + 1;
        LockSupport.unpark(printer);
        if (index + 1 == count) {
            LockSupport.unpark(waiter);
        }
    }

    private void printBeats() {
        long[] beat = new long[3];
        long next = 0; // the beat expected next
        for (;;) {
            // Once closing is set the metronome has stopped: what is in the ring then is all there is.
            boolean last = closing;
            boolean any = false;
            while (ring.take(beat)) {
                if (beat[0] > next) {
                    Report.printGap(out, next + 1, beat[0]);
                }
                record(beat[0], beat[1], beat[2]);
                next = beat[0] + 1;
                any = true;
            }
            if (any) {
                out.flush();
                flushCsv();
            }
            if (last) {
                break;
            }
            LockSupport.parkNanos(this, POLL_NANOS);
        }
        long end = heard;
        if (end > next) {
            Report.printGap(out, next + 1, end);
            out.flush();
        }
    }

    /** On the printer: one beat into the record, the output and the CSV. */
    private void record(long beat, long due, long tap) {
        long actual;
        synchronized (history) {
            if (recorded++ == 0) {
                origin = due; // beat 0: the ring is empty when it comes, so it is never dropped
            }
            actual = tap - origin;
            if (measured < MAX_MEASURED) {
                if (measured == lateness.length) {
                    lateness = Arrays.copyOf(lateness, Math.min(2 * measured, MAX_MEASURED));
                }
                lateness[measured++] = tap - due;
            }
            if (clicks != null) {
                if (actual > MAX_CLICK_NANOS) {
                    clicksCut = true;
                } else {
                    if (clickCount == clicks.length) {
                        clicks = Arrays.copyOf(clicks, 2 * clickCount);
                    }
                    clicks[clickCount++] = actual;
                }
            }
        }
        long fromOrigin = due - origin;
        Report.printBeat(out, beat + 1, fromOrigin, actual, plan.startsBar(beat) ? plan.bar(beat) + 1 : 0,
                plan.bpm(beat));
        writeCsv(Report.metronomeCsvRow(beat + 1, fromOrigin, actual, plan.bar(beat) + 1, plan.beatInBar(beat),
                plan.bpm(beat)));
    }

    /** Writes to the CSV unless it has failed; the first failure is reported at the end. */
    private void writeCsv(String text) {
        if (csv != null && csvFailure == null) {
            try {
                csv.write(text);
            } catch (IOException e) {
                csvFailure = e;
            }
        }
    }

    private void flushCsv() {
        if (csv != null && csvFailure == null) {
            try {
                csv.flush();
            } catch (IOException e) {
                csvFailure = e;
            }
        }
    }

    private Result end(Ending ending) throws IOException, InterruptedException {
        synchronized (lock) {
            if (result != null) {
                return result;
            }
            if (started) {
                // Joins the tapper thread: no beat() runs after this returns.
                metronome.stop();
            }
            closing = true;
            LockSupport.unpark(printer);
            if (printer.isAlive()) {
                printer.join(PRINTER_DRAIN_MILLIS);
            }
            flushCsv();
            synchronized (history) {
                result = new Result(this);
            }
            ending.accept(result);
            return result;
        }
    }

    /** What a metronome run played and measured. */
    static final class Result {
        private final boolean started;
        private final long count;
        private final long heard;
        private final long recorded;
        private final long[] latenessNanos;
        private final long[] clickNanos;
        private final boolean clicksCut;
        private final TempoPlan plan;
        private final boolean precise;
        private final boolean realTime;
        private final IOException csvFailure;

        private Result(MetronomeSession session) {
            started = session.started;
            count = session.count;
            heard = session.heard;
            recorded = session.recorded;
            latenessNanos = Arrays.copyOf(session.lateness, session.measured);
            clickNanos = session.clicks != null ? Arrays.copyOf(session.clicks, session.clickCount) : null;
            clicksCut = session.clicksCut;
            plan = session.plan;
            precise = session.precise;
            realTime = session.realTime;
            csvFailure = session.csvFailure;
        }

        /** @return whether the metronome started; if not, nothing was heard */
        boolean started() {
            return started;
        }

        /** @return the beats asked for, or {@link #ENDLESS} */
        long count() {
            return count;
        }

        /** @return the beats the listener heard, measured or not */
        long heard() {
            return heard;
        }

        /** @return the beats heard but not measured: the printer was a ring behind, or had not caught up */
        long unmeasured() {
            return heard - recorded;
        }

        boolean stoppedEarly() {
            return count != ENDLESS && heard < count;
        }

        /** @return the lateness of the measured beats in beat order, at most {@link #MAX_MEASURED} of them */
        long[] latenessNanos() {
            return latenessNanos.clone();
        }

        /** @return whether the lateness covers fewer beats than were measured */
        boolean latenessCut() {
            return latenessNanos.length < recorded;
        }

        /** @return each measured beat's time from the first beat's due time, or null if none were kept */
        long[] clickNanos() {
            return clickNanos != null ? clickNanos.clone() : null;
        }

        /** @return whether clicks beyond the click track's length were left out */
        boolean clicksCut() {
            return clicksCut;
        }

        TempoPlan plan() {
            return plan;
        }

        boolean precise() {
            return precise;
        }

        /** @return whether the metronome's tapper thread got real-time scheduling */
        boolean realTime() {
            return realTime;
        }

        /** @return the first failure to write the CSV, or null */
        IOException csvFailure() {
            return csvFailure;
        }
    }
}
