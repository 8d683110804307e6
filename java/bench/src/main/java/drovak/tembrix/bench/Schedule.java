package drovak.tembrix.bench;

import java.util.Arrays;
import java.util.SplittableRandom;

/**
 * A rhythm that every contender is sent: beat offsets from the contender's start, whole microseconds, in
 * non-decreasing order. The library takes them as a beat list in seconds; the others take the same offsets in
 * nanoseconds, so that every contender is due at exactly the same instants.
 */
public final class Schedule {

    private static final long NANOS_PER_MICRO = 1_000L;
    private static final double MICROS_PER_SECOND = 1e6;

    private final String name;
    private final long[] offsetsNanos;

    private Schedule(String name, long[] offsetsNanos) {
        this.name = name;
        this.offsetsNanos = offsetsNanos;
    }

    /**
     * A steady grid: beat {@code i} (from 1) is due at {@code i * interval}.
     *
     * @param beats number of beats, at least 1
     * @param intervalMicros the grid step in microseconds, at least 1
     */
    public static Schedule steady(int beats, long intervalMicros) {
        requirePositive(beats, "beats");
        requirePositive(intervalMicros, "interval");
        long[] offsets = new long[beats];
        for (int i = 0; i < beats; i++) {
            offsets[i] = (i + 1) * intervalMicros * NANOS_PER_MICRO;
        }
        return new Schedule("steady " + formatMillis(intervalMicros) + " ms grid", offsets);
    }

    /**
     * An irregular rhythm: each interval is drawn uniformly from whole microseconds in
     * {@code [minIntervalMicros, maxIntervalMicros)} by a generator with the given seed, so the same seed always
     * gives the same rhythm.
     */
    public static Schedule irregular(int beats, long seed, long minIntervalMicros, long maxIntervalMicros) {
        requirePositive(beats, "beats");
        requirePositive(minIntervalMicros, "minimum interval");
        if (maxIntervalMicros <= minIntervalMicros) {
            throw new IllegalArgumentException("the maximum interval must exceed the minimum, got "
                    + minIntervalMicros + " and " + maxIntervalMicros + " us");
        }
        SplittableRandom random = new SplittableRandom(seed);
        long[] offsets = new long[beats];
        long micros = 0;
        for (int i = 0; i < beats; i++) {
            micros += random.nextLong(minIntervalMicros, maxIntervalMicros);
            offsets[i] = micros * NANOS_PER_MICRO;
        }
        return new Schedule("irregular " + formatMillis(minIntervalMicros) + "-" + formatMillis(maxIntervalMicros)
                + " ms (seed " + seed + ")", offsets);
    }

    /** The first {@code beats} beats of this schedule, as a warm-up run. */
    public Schedule prefix(int beats) {
        return new Schedule(name, Arrays.copyOf(offsetsNanos, Math.min(beats, offsetsNanos.length)));
    }

    /** A short description, such as "steady 3 ms grid". */
    public String name() {
        return name;
    }

    /** Number of beats (taps) in the schedule. */
    public int size() {
        return offsetsNanos.length;
    }

    /** Offset of beat {@code i} (from 0) from the start, in nanoseconds. */
    public long offsetNanos(int i) {
        return offsetsNanos[i];
    }

    /** A copy of all offsets, in nanoseconds. */
    public long[] offsetsNanos() {
        return offsetsNanos.clone();
    }

    /** Offset of the last beat, in nanoseconds: how long the schedule lasts. */
    public long durationNanos() {
        return offsetsNanos.length == 0 ? 0 : offsetsNanos[offsetsNanos.length - 1];
    }

    /**
     * The schedule as a {@code Tapper} beat list: element 0 (never tapped) is 0, then each offset in seconds.
     * The library truncates each time to the microsecond; the values are chosen so that it lands exactly on the
     * offset.
     */
    public double[] toBeatList() {
        double[] list = new double[offsetsNanos.length + 1];
        for (int i = 0; i < offsetsNanos.length; i++) {
            list[i + 1] = secondsFor(offsetsNanos[i] / NANOS_PER_MICRO);
        }
        return list;
    }

    /**
     * The double nearest to {@code micros} microseconds in seconds that still truncates to {@code micros} when
     * multiplied by 1e6, as the library converts it.
     */
    static double secondsFor(long micros) {
        double seconds = micros / MICROS_PER_SECOND;
        while ((long) (seconds * MICROS_PER_SECOND) < micros) {
            seconds = Math.nextUp(seconds);
        }
        return seconds;
    }

    private static String formatMillis(long micros) {
        return micros % 1000 == 0 ? Long.toString(micros / 1000) : Double.toString(micros / 1000.0);
    }

    private static void requirePositive(long value, String what) {
        if (value < 1) {
            throw new IllegalArgumentException(what + " must be at least 1, got " + value);
        }
    }
}
