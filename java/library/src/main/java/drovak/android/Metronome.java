package drovak.android;

import java.util.Objects;
import java.util.concurrent.TimeUnit;

/**
 * A metronome that beats until it is stopped, one period apart, and whose tempo may change while it plays: the
 * phase runs on from the last beat, with no gap and no jump.
 *
 * <pre>{@code
 * try (Metronome metronome = new Metronome(120, (index, dueNanos) -> click(index % 4 == 0))) {
 *     metronome.start();            // beats 0, 1, 2, ... from about 10 ms from now
 *     Thread.sleep(10_000);
 *     metronome.setTempo(132);      // from the next beat but one, 132 beats a minute
 *     Thread.sleep(10_000);
 * }                                 // close() stops it
 * }</pre>
 *
 * <p>It plays in the native tapper of the process, the one that every {@link Tapper} shares: while another rhythm
 * plays, {@link #start()} throws {@link IllegalStateException} saying so, and so does a {@code Tapper}'s start
 * while the metronome plays. Its beats go to the tapper one at a time, each as the beat before it is tapped (see
 * {@link Tapper#appendBeats}), so the beats are as punctual as a {@code Tapper}'s, and it never takes more memory
 * than a few beats, however long it plays. It can be {@linkplain #setPrecise precise} as a tapper can.
 *
 * <p>Its methods may be called from any thread, {@code stop()} and {@code close()} not from {@code beat()} (they
 * wait for the beat to return; hand them to another thread). This class is thread-safe.
 */
public final class Metronome implements AutoCloseable {

    /** Receives the beats, on the tapper thread, as a {@code Tapper}'s {@code tap()} would be called. */
    @FunctionalInterface
    public interface Listener {

        /**
         * Called at each beat's due time. It should return quickly: a slow one delays the beats after it, which
         * are then called as soon as it returns, still on their own due times' grid. An exception it throws goes to
         * the thread's uncaught-exception handler, and the metronome goes on.
         *
         * @param index the beat's number from the start, 0 for the first
         * @param dueNanos when the beat was due, in the time base of {@link System#nanoTime()} (whole
         *     microseconds from the tapper's start); the call comes at that time or a little after it
         */
        void beat(long index, long dueNanos);
    }

    /** The slowest tempo, in beats per minute: a beat a minute. */
    public static final double MIN_BPM = 1;

    /** The fastest tempo, in beats per minute: a hundred beats a second. */
    public static final double MAX_BPM = 6000;

    /** How long after {@link #start()} is called the first beat is due: time for the tapper thread's start. */
    private static final long START_LEAD_NANOS = TimeUnit.MILLISECONDS.toNanos(10);

    private static final double NANOS_PER_MINUTE = 60e9;

    private final Listener listener;
    private volatile double bpm;
    private volatile boolean precise;
    private volatile Clicks current;

    static {
        // Loading the native library takes tens of milliseconds the first time: done with this class, so that
        // the first start()'s lead is not spent on it.
        try {
            Class.forName(Tapper.class.getName(), true, Metronome.class.getClassLoader());
        } catch (ClassNotFoundException e) {
            throw new NoClassDefFoundError(e.getMessage());
        }
    }

    /**
     * Creates a metronome; it plays once started.
     *
     * @param bpm the tempo, in beats per minute, from {@link #MIN_BPM} to {@link #MAX_BPM}
     * @param listener called at each beat
     * @throws IllegalArgumentException if the tempo is out of that range, or not a number
     * @throws NullPointerException if {@code listener} is null
     */
    public Metronome(double bpm, Listener listener) {
        this.bpm = checkTempo(bpm);
        this.listener = Objects.requireNonNull(listener, "listener");
    }

    /**
     * Starts the beats, the first about 10 milliseconds from now, then one period apart for ever. A metronome that
     * has been stopped may start again, from beat 0.
     *
     * @throws IllegalStateException if a rhythm plays already (this metronome's, another one's or a
     *     {@code Tapper}'s: stop it first), or for the reasons {@link Tapper#startTapper()} gives
     */
    public void start() {
        start(System.nanoTime() + START_LEAD_NANOS);
    }


    /**
     * Starts the beats with the first at the given time, then one period apart for ever: on the next bar of music
     * that already plays, say. A time that has passed by the time the tapper thread starts is taken as that start:
     * the first beat then comes at once.
     *
     * @param firstBeatNanos when the first beat is due, in the time base of {@link System#nanoTime()}
     * @throws IllegalStateException as {@link #start()}
     */
    public void start(long firstBeatNanos) {
        Clicks clicks = new Clicks(firstBeatNanos); // a Tapper: the library is loaded before start() reads the clock
        clicks.setPrecise(precise);
        // One beat at the thread's start, which no listener hears: it hands the tapper the first beat, now that
        // the start is known.
        clicks.set(new double[] {0, 0}, "Metronome.start()");
        clicks.start("Metronome.start()");
        current = clicks;
    }

    /**
     * Changes the tempo, at any time and from any thread, {@code beat()} included. Each beat is handed to the
     * tapper as the beat before it is tapped, after the listener's {@code beat()} for it has returned; the new
     * period holds from the first beat not yet handed, and the interval before that beat is the new period. So a
     * change made in {@code beat()} is heard at the very next beat, and one made between two beats from the beat
     * after the next: within one beat's time of the change.
     *
     * @param bpm the tempo, in beats per minute, from {@link #MIN_BPM} to {@link #MAX_BPM}
     * @throws IllegalArgumentException if the tempo is out of that range, or not a number
     */
    public void setTempo(double bpm) {
        this.bpm = checkTempo(bpm);
    }

    /**
     * The tempo in beats per minute.
     *
     * @return the tempo last set
     */
    public double tempo() {
        return bpm;
    }

    /**
     * Asks for precise beats, as {@link Tapper#setPrecise} does, from the next start on.
     *
     * @param precise true for precise beats, false for the default
     */
    public void setPrecise(boolean precise) {
        this.precise = precise;
    }

    /**
     * Whether the next start is precise.
     *
     * @return the value last given to {@link #setPrecise}, false by default
     */
    public boolean isPrecise() {
        return precise;
    }

    /**
     * Stops the metronome, if it plays, and waits for its tapper thread to end, after a {@code beat()} in progress.
     * It never stops a rhythm that it did not start. An interrupt ends the wait as for {@link Tapper#stopTapper()}.
     */
    public void stop() {
        Clicks clicks = current;
        if (clicks != null) {
            clicks.close();
        }
    }

    /**
     * When the current or last run started: its tapper thread's start, in the time base of
     * {@link System#nanoTime()}, as {@link Tapper#startTimeNanos()} tells it.
     *
     * @return the start in nanoseconds of {@code System.nanoTime()}
     * @throws IllegalStateException if this metronome has not been started
     */
    public long startTimeNanos() {
        return started().startTimeNanos();
    }

    /**
     * Whether the tapper thread of the current or last run got real-time scheduling, as
     * {@link Tapper#isRealTime()} tells it.
     *
     * @return true if it runs real-time between beats
     * @throws IllegalStateException if this metronome has not been started
     */
    public boolean isRealTime() {
        return started().isRealTime();
    }

    private Clicks started() {
        Clicks clicks = current;
        if (clicks == null) {
            throw new IllegalStateException("this Metronome has not been started; call start() first");
        }
        return clicks;
    }

    /** Same as {@link #stop()}. */
    @Override
    public void close() {
        stop();
    }

    private static double checkTempo(double bpm) {
        if (!(bpm >= MIN_BPM && bpm <= MAX_BPM)) {
            throw new IllegalArgumentException("tempo must be from " + (long) MIN_BPM + " to " + (long) MAX_BPM
                    + " beats per minute, got " + bpm);
        }
        return bpm;
    }

    /** One start's rhythm, fed one beat ahead from its own taps. Only the tapper thread uses its fields. */
    private final class Clicks extends Tapper {
        private final long firstBeatNanos;
        private final double[] next = new double[1];
        private boolean begun;
        private long t0;
        private double offsetNanos; // of the beat handed last, from t0
        private long handedDueNanos;
        private long index;

        Clicks(long firstBeatNanos) {
            this.firstBeatNanos = firstBeatNanos;
        }

        @Override
        public void tap() {
            if (!begun) {
                begun = true;
                t0 = startTimeNanos();
                offsetNanos = Math.max(0, firstBeatNanos - t0);
                hand();
                return;
            }
            long due = handedDueNanos;
            try {
                listener.beat(index++, due);
            } finally {
                offsetNanos += NANOS_PER_MINUTE / bpm;
                hand();
            }
        }

        /** Appends the beat at offsetNanos, in whole microseconds as the tapper reads them. */
        private void hand() {
            long usec = (long) (offsetNanos / 1000);
            // Half a microsecond more, so that the tapper's own cut to the microsecond gives this one.
            next[0] = (usec + 0.5) / 1e6;
            handedDueNanos = t0 + usec * 1000;
            appendBeats(next);
        }

        @Override
        String starterDescription() {
            return "a Metronome";
        }
    }
}
