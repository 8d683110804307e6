package drovak.tembrix.bench;

import drovak.android.Metronome;
import drovak.android.Tapper;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.EnumMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.TimeUnit;
import java.util.function.IntConsumer;

/**
 * What appending buys: how far the beats after a tempo change or a phrase boundary land from the schedule that
 * runs on from the beat before, when the new beats are appended to the playing rhythm, and when a new rhythm is
 * started for them instead, as callers did before {@code appendBeats}.
 *
 * <p>A run is a series of segments of {@link #BEATS_PER_SEGMENT} beats; each segment after the first begins with a
 * change. At a tempo change the period switches between 10 and 12 ms; at a phrase boundary the next phrase follows
 * (the same rhythm of six intervals each time). The ideal schedule of a segment continues from the due time of the
 * last beat before it: its beats are due that time plus their intervals in the segment. Per change:
 * <ul>
 *   <li>phase error: tap time minus that ideal time, for each of the first {@link #MEASURED_BEATS} beats;
 *   <li>shift: the first beat's due time in the rhythm that taps it, minus its ideal time: how far the schedule
 *       itself moved, the wake-up left out;
 *   <li>lateness elsewhere: for the segment's other beats, tap time minus their own due time, as a reference.
 * </ul>
 * Tap times are {@code System.nanoTime()} read first thing in {@code tap()} or {@code beat()}.
 */
final class PhaseCase {

    static final int BEATS_PER_SEGMENT = 6;
    static final int MEASURED_BEATS = 4;
    static final long FAST_PERIOD_NANOS = TimeUnit.MILLISECONDS.toNanos(10);
    static final long SLOW_PERIOD_NANOS = TimeUnit.MILLISECONDS.toNanos(12);
    /** A phrase: the interval before each of its beats, the first counted from the phrase before's last beat. */
    static final long[] PHRASE_INTERVALS_NANOS = {12_000_000, 8_000_000, 10_000_000, 12_000_000, 8_000_000,
        10_000_000};
    /**
     * Beats at the old tempo that a restarted rhythm's list holds past its segment, as a metronome's list would:
     * the stop must come before the first of them, and one tapped anyway is counted as a stray.
     */
    static final int EXTRA_BEATS = 2;

    /** How the change is made. */
    enum Way {
        METRONOME("tempo change", "appended: `Metronome.setTempo()` in `beat()`"),
        RESTART_TEMPO("tempo change", "restarted: stop, set, start, through an executor"),
        APPEND_PHRASE("phrase boundary", "appended: `appendBeats()` in the last `tap()`"),
        START_PHRASE("phrase boundary", "restarted: set, start, through an executor");

        final String event;
        final String how;

        Way(String event, String how) {
            this.event = event;
            this.how = how;
        }

        boolean tempo() {
            return this == METRONOME || this == RESTART_TEMPO;
        }
    }

    private PhaseCase() {}

    /** The interval before each beat of each segment of a run with the given number of changes. */
    static long[][] intervals(Way way, int changes) {
        long[][] intervals = new long[changes + 1][];
        for (int s = 0; s < intervals.length; s++) {
            if (way.tempo()) {
                intervals[s] = new long[BEATS_PER_SEGMENT];
                Arrays.fill(intervals[s], s % 2 == 0 ? FAST_PERIOD_NANOS : SLOW_PERIOD_NANOS);
            } else {
                intervals[s] = PHRASE_INTERVALS_NANOS.clone();
            }
        }
        return intervals;
    }

    /** One run's beats: when each was tapped and when the rhythm that tapped it had it due. */
    static final class PhaseRun {
        final long[][] intervals;
        final long[] taps;
        final long[] dues;
        /** Beats tapped past a restarted rhythm's segment, before its stop: not part of the schedule. */
        volatile int strays;

        PhaseRun(long[][] intervals) {
            this.intervals = intervals;
            this.taps = new long[intervals.length * BEATS_PER_SEGMENT];
            this.dues = new long[taps.length];
        }

        int segments() {
            return intervals.length;
        }

        int beats() {
            return taps.length;
        }

        void record(int beat, long tap, long due) {
            taps[beat] = tap;
            dues[beat] = due;
        }
    }

    /** The phase errors, shifts and lateness elsewhere of one or more runs, in nanoseconds. */
    static final class Errors {
        final long[] phase;
        final long[] shift;
        final long[] elsewhere;
        final int changes;
        final int strays;

        Errors(long[] phase, long[] shift, long[] elsewhere, int strays) {
            this.phase = phase;
            this.shift = shift;
            this.elsewhere = elsewhere;
            this.changes = shift.length;
            this.strays = strays;
        }

        /** The figures of one run: see the class description. */
        static Errors of(PhaseRun run) {
            int changes = run.segments() - 1;
            int s = BEATS_PER_SEGMENT;
            long[] phase = new long[changes * MEASURED_BEATS];
            long[] shift = new long[changes];
            long[] elsewhere = new long[changes * (s - MEASURED_BEATS)];
            for (int c = 1; c <= changes; c++) {
                long ideal = run.dues[c * s - 1];
                for (int j = 0; j < s; j++) {
                    int beat = c * s + j;
                    ideal += run.intervals[c][j];
                    if (j == 0) {
                        shift[c - 1] = run.dues[beat] - ideal;
                    }
                    if (j < MEASURED_BEATS) {
                        phase[(c - 1) * MEASURED_BEATS + j] = run.taps[beat] - ideal;
                    } else {
                        elsewhere[(c - 1) * (s - MEASURED_BEATS) + j - MEASURED_BEATS] =
                                run.taps[beat] - run.dues[beat];
                    }
                }
            }
            return new Errors(phase, shift, elsewhere, run.strays);
        }

        /** The figures of several runs together. */
        static Errors pool(List<Errors> runs) {
            List<long[]> phase = new ArrayList<>();
            List<long[]> shift = new ArrayList<>();
            List<long[]> elsewhere = new ArrayList<>();
            int strays = 0;
            for (Errors run : runs) {
                phase.add(run.phase);
                shift.add(run.shift);
                elsewhere.add(run.elsewhere);
                strays += run.strays;
            }
            return new Errors(concat(phase), concat(shift), concat(elsewhere), strays);
        }

        private static long[] concat(List<long[]> parts) {
            return parts.stream().flatMapToLong(Arrays::stream).toArray();
        }
    }

    /**
     * Runs every way in rounds, in an order that rotates from round to round, with {@code changes} changes per way
     * in all (split over the rounds), and pools each way's runs.
     */
    static Map<Way, Errors> run(int changes, int rounds) throws Exception {
        Way[] ways = Way.values();
        Map<Way, List<Errors>> runs = new EnumMap<>(Way.class);
        int perRun = Math.max(1, (changes + rounds - 1) / rounds);
        for (int round = 0; round < rounds; round++) {
            for (int k = 0; k < ways.length; k++) {
                Way way = ways[(k + round) % ways.length];
                runs.computeIfAbsent(way, w -> new ArrayList<>()).add(Errors.of(run(way, perRun)));
                Thread.sleep(20);
            }
        }
        Map<Way, Errors> pooled = new EnumMap<>(Way.class);
        runs.forEach((way, list) -> pooled.put(way, Errors.pool(list)));
        return pooled;
    }

    /** One run of one way with the given number of changes. */
    static PhaseRun run(Way way, int changes) throws Exception {
        PhaseRun run = new PhaseRun(intervals(way, changes));
        long timeoutMillis = run.beats() * SLOW_PERIOD_NANOS / 1_000_000 + 10_000;
        if (way == Way.METRONOME) {
            return new MetronomeRun(run).play(timeoutMillis);
        }
        return new TapperRun(way, run).play(timeoutMillis);
    }

    /** Ends a run: the last beat came, or something failed. */
    private abstract static class Ending {
        final PhaseRun run;
        final CountDownLatch done = new CountDownLatch(1);
        volatile Throwable failure;
        volatile int recorded;

        Ending(PhaseRun run) {
            this.run = run;
        }

        void fail(Throwable e) {
            failure = e;
            done.countDown();
        }

        void await(String what, long timeoutMillis) throws InterruptedException {
            boolean finished = done.await(timeoutMillis, TimeUnit.MILLISECONDS);
            if (failure != null) {
                throw new IllegalStateException(what + " failed: " + failure, failure);
            }
            if (!finished) {
                throw new IllegalStateException(what + " tapped " + recorded + " of " + run.beats()
                        + " beats in time");
            }
        }

        /** After beat {@code beat} was recorded: counts it, and ends the run at the last beat. */
        boolean last(int beat) {
            recorded = beat + 1;
            if (beat == run.beats() - 1) {
                done.countDown();
                return true;
            }
            return false;
        }
    }

    /** The metronome, its tempo set in {@code beat()} at the last beat of each segment. */
    private static final class MetronomeRun extends Ending {

        MetronomeRun(PhaseRun run) {
            super(run);
        }

        PhaseRun play(long timeoutMillis) throws InterruptedException {
            Metronome[] metronome = new Metronome[1];
            metronome[0] = new Metronome(bpm(run.intervals[0][0]), (index, due) -> {
                long now = System.nanoTime();
                if (index >= run.beats()) {
                    return;
                }
                int beat = (int) index;
                run.record(beat, now, due);
                if (!last(beat) && beat % BEATS_PER_SEGMENT == BEATS_PER_SEGMENT - 1) {
                    metronome[0].setTempo(bpm(run.intervals[beat / BEATS_PER_SEGMENT + 1][0]));
                }
            });
            metronome[0].start();
            try {
                await(Way.METRONOME.how, timeoutMillis);
            } finally {
                metronome[0].stop();
            }
            return run;
        }

        private static double bpm(long periodNanos) {
            return 60e9 / periodNanos;
        }
    }

    /** A tapper whose segments are appended, or started anew from an executor. */
    private static final class TapperRun extends Ending {
        private final Way way;
        private final PhaseTapper tapper;
        private final ExecutorService executor = Executors.newSingleThreadExecutor(task -> {
            Thread thread = new Thread(task, "phase-case restarts");
            thread.setDaemon(true);
            return thread;
        });

        TapperRun(Way way, PhaseRun run) {
            super(run);
            this.way = way;
            this.tapper = new PhaseTapper(run, this::afterBeat);
        }

        PhaseRun play(long timeoutMillis) throws InterruptedException {
            try {
                if (way == Way.APPEND_PHRASE) {
                    long[] offsets = new long[run.beats()];
                    long at = 0;
                    for (int beat = 0; beat < offsets.length; beat++) {
                        at += run.intervals[beat / BEATS_PER_SEGMENT][beat % BEATS_PER_SEGMENT];
                        offsets[beat] = at;
                    }
                    tapper.prepare(0, offsets, offsets.length);
                    double[] list = new double[BEATS_PER_SEGMENT + 1];
                    System.arraycopy(seconds(offsets, 0, BEATS_PER_SEGMENT), 0, list, 1, BEATS_PER_SEGMENT);
                    tapper.setBeatList(list);
                    tapper.startTapper();
                } else {
                    startSegment(0, 0, System.nanoTime());
                }
                await(way.how, timeoutMillis);
            } finally {
                tapper.stopTapper();
                executor.shutdownNow();
                executor.awaitTermination(10, TimeUnit.SECONDS);
            }
            return run;
        }

        /** On the tapper thread, after each beat counted. */
        private void afterBeat(int beat) {
            if (last(beat) || beat % BEATS_PER_SEGMENT != BEATS_PER_SEGMENT - 1) {
                return;
            }
            int next = beat / BEATS_PER_SEGMENT + 1;
            if (way == Way.APPEND_PHRASE) {
                long[] offsets = tapper.offsets;
                if (!tapper.appendBeats(seconds(offsets, next * BEATS_PER_SEGMENT, BEATS_PER_SEGMENT))) {
                    fail(new IllegalStateException("appendBeats() from the last tap() returned false"));
                }
                return;
            }
            executor.execute(() -> {
                try {
                    if (way == Way.RESTART_TEMPO) {
                        tapper.stopTapper();
                    }
                    startSegment(next, run.dues[next * BEATS_PER_SEGMENT - 1], 0);
                } catch (RuntimeException | Error e) {
                    fail(e);
                }
            });
        }

        /**
         * Starts a new rhythm for a segment, its beats due at their ideal times from {@code lastDue} (or, for the
         * first segment, from {@code from}) as well as a caller can: offsets counted from {@code System.nanoTime()}
         * read just before the list is made, set and started.
         */
        private void startSegment(int segment, long lastDue, long from) {
            boolean changeFollows = segment < run.segments() - 1;
            int count = BEATS_PER_SEGMENT + (way == Way.RESTART_TEMPO && changeFollows ? EXTRA_BEATS : 0);
            long now = System.nanoTime();
            long at = segment == 0 ? from : lastDue;
            long[] offsets = new long[count];
            for (int j = 0; j < count; j++) {
                at += run.intervals[segment][Math.min(j, BEATS_PER_SEGMENT - 1)];
                // Whole microseconds, rounded up: never before the ideal time plus the start-up.
                offsets[j] = Math.max(0, (at - now + 999) / 1000) * 1000;
            }
            tapper.prepare(segment * BEATS_PER_SEGMENT, offsets, BEATS_PER_SEGMENT);
            double[] list = new double[count + 1];
            System.arraycopy(seconds(offsets, 0, count), 0, list, 1, count);
            tapper.setBeatList(list);
            tapper.startTapper();
        }

        private static double[] seconds(long[] offsetsNanos, int from, int count) {
            double[] seconds = new double[count];
            for (int j = 0; j < count; j++) {
                seconds[j] = Schedule.secondsFor(offsetsNanos[from + j] / 1000);
            }
            return seconds;
        }
    }

    /** Records each beat of the rhythm it plays against its offset in that rhythm's list. */
    private static final class PhaseTapper extends Tapper {
        private final PhaseRun run;
        private final IntConsumer afterBeat;
        /** The playing list's offsets from its t0, in whole microseconds as nanoseconds. */
        volatile long[] offsets = new long[0];
        /** The run's number of the list's first beat, and how many of its beats belong to the run. */
        private volatile int first;
        private volatile int counted;
        private volatile int tapped;

        PhaseTapper(PhaseRun run, IntConsumer afterBeat) {
            this.run = run;
            this.afterBeat = afterBeat;
        }

        /** Before a start: the list that it plays. */
        void prepare(int firstBeat, long[] offsetsNanos, int beatsCounted) {
            offsets = offsetsNanos;
            first = firstBeat;
            counted = beatsCounted;
            tapped = 0;
        }

        @Override
        public void tap() {
            long now = System.nanoTime();
            int i = tapped;
            tapped = i + 1;
            if (i >= counted) {
                run.strays++;
                return;
            }
            int beat = first + i;
            run.record(beat, now, startTimeNanos() + offsets[i]);
            afterBeat.accept(beat);
        }
    }
}
