package drovak.tembrix;

import java.util.Arrays;
import java.util.Objects;

/**
 * Order statistics of a set of timing measurements, such as the lateness of each tap in nanoseconds, plus the two
 * measures of a run that depend on more than the set of values: jitter and drift.
 *
 * <pre>{@code
 * long[] lateness = ...;                       // actual minus due time of each beat, in beat order
 * Stats late = Stats.of(lateness);
 * long p99 = late.percentile(99);
 * Stats jitter = Stats.of(Stats.jitter(lateness));
 * double drift = Stats.drift(lateness);
 * }</pre>
 *
 * <p>Percentiles use the nearest-rank method: the p-th percentile is a value of the set, the smallest one that at
 * least p percent of the values do not exceed. Instances are immutable.
 */
public final class Stats {

    private final long[] sorted;

    private Stats(long[] sorted) {
        this.sorted = sorted;
    }

    /**
     * Returns the statistics of the given values. The array is copied, never kept or written.
     *
     * @param values the measurements, in any order; may be empty
     * @return their statistics
     * @throws NullPointerException if {@code values} is null
     */
    public static Stats of(long[] values) {
        return of(values, Objects.requireNonNull(values, "values").length);
    }

    /**
     * Returns the statistics of the first {@code count} values of an array, for a run that filled only part of
     * a preallocated array. The array is copied, never kept or written.
     *
     * @param values the measurements, in any order
     * @param count how many of them, from index 0, to take
     * @return their statistics
     * @throws NullPointerException if {@code values} is null
     * @throws IndexOutOfBoundsException if {@code count} is negative or beyond the array
     */
    public static Stats of(long[] values, int count) {
        Objects.checkFromIndexSize(0, count, Objects.requireNonNull(values, "values").length);
        long[] copy = Arrays.copyOf(values, count);
        Arrays.sort(copy);
        return new Stats(copy);
    }

    /** @return how many values there are */
    public int count() {
        return sorted.length;
    }

    /** @return whether there are no values; every statistic but {@link #count()} then throws */
    public boolean isEmpty() {
        return sorted.length == 0;
    }

    /**
     * @return the smallest value
     * @throws IllegalStateException if there are no values
     */
    public long min() {
        requireValues();
        return sorted[0];
    }

    /**
     * @return the largest value
     * @throws IllegalStateException if there are no values
     */
    public long max() {
        requireValues();
        return sorted[sorted.length - 1];
    }

    /**
     * @return the arithmetic mean
     * @throws IllegalStateException if there are no values
     */
    public double mean() {
        requireValues();
        return mean(sorted, 0, sorted.length);
    }

    /**
     * Returns the p-th percentile by nearest rank: the value at rank {@code ceil(p / 100 * count)} in ascending
     * order, counting from 1, and the minimum for p = 0. So {@code percentile(50)} of {1, 2, 3, 4} is 2, and
     * {@code percentile(100)} is the maximum.
     *
     * @param p the percentile, from 0 to 100
     * @return a value of the set
     * @throws IllegalArgumentException if {@code p} is outside [0, 100] or NaN
     * @throws IllegalStateException if there are no values
     */
    public long percentile(double p) {
        if (!(p >= 0 && p <= 100)) {
            throw new IllegalArgumentException("percentile must be between 0 and 100, got " + p);
        }
        requireValues();
        int rank = (int) Math.ceil(p / 100 * sorted.length);
        return sorted[Math.max(rank, 1) - 1];
    }

    /**
     * Returns the jitter of each value: the value minus the smallest of them all. For the lateness of the taps of
     * a run, this takes out the part of the lateness that every tap shares (the start-up offset and the fixed
     * cost of a tap), leaving how unevenly the taps land.
     *
     * @param lateness the measurements, in any order
     * @return a new array, in the same order, whose smallest element is 0 (empty if the input is)
     * @throws NullPointerException if {@code lateness} is null
     */
    public static long[] jitter(long[] lateness) {
        Objects.requireNonNull(lateness, "lateness");
        long min = Long.MAX_VALUE;
        for (long value : lateness) {
            min = Math.min(min, value);
        }
        long[] jitter = new long[lateness.length];
        for (int i = 0; i < lateness.length; i++) {
            jitter[i] = lateness[i] - min;
        }
        return jitter;
    }

    /**
     * Returns the drift of a run: the mean of the last tenth of the values minus the mean of the first tenth, in
     * the order given (which for lateness should be beat order). A tenth is {@code count / 10} values, and at
     * least one, so that a short run compares its last value with its first. A positive drift means the taps
     * fall further behind as the run goes on.
     *
     * @param lateness the measurements, in beat order
     * @return the drift, in the unit of the values; 0 for an empty array
     * @throws NullPointerException if {@code lateness} is null
     */
    public static double drift(long[] lateness) {
        Objects.requireNonNull(lateness, "lateness");
        int n = lateness.length;
        if (n == 0) {
            return 0;
        }
        int tenth = Math.max(1, n / 10);
        return mean(lateness, n - tenth, n) - mean(lateness, 0, tenth);
    }

    private static double mean(long[] values, int from, int to) {
        double sum = 0;
        for (int i = from; i < to; i++) {
            sum += values[i];
        }
        return sum / (to - from);
    }

    private void requireValues() {
        if (sorted.length == 0) {
            throw new IllegalStateException("no values");
        }
    }
}
