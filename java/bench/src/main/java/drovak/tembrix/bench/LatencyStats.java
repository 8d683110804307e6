package drovak.tembrix.bench;

import drovak.tembrix.Stats;
import java.util.Arrays;
import java.util.List;

/**
 * Lateness and jitter of one contender on one schedule, pooled over rounds. Lateness is how long after its due
 * time a beat was tapped; jitter is lateness minus the minimum lateness of the same run, so that what every tap
 * of a run shares (such as the time its thread took to start) does not count. Percentiles are by nearest rank,
 * as {@link Stats} computes them.
 */
final class LatencyStats {

    private final Stats lateness;
    private final Stats jitter;
    private final long[] sortedJitter;

    private LatencyStats(long[] lateness, long[] jitter) {
        this.lateness = Stats.of(lateness);
        this.jitter = Stats.of(jitter);
        this.sortedJitter = jitter.clone();
        Arrays.sort(sortedJitter);
    }

    /**
     * Pools runs of lateness values, in nanoseconds; each run's jitter is taken against that run's own minimum.
     *
     * @throws IllegalArgumentException if there is no run or a run is empty
     */
    static LatencyStats of(List<long[]> runs) {
        if (runs.isEmpty()) {
            throw new IllegalArgumentException("no run to summarise");
        }
        int total = 0;
        for (long[] run : runs) {
            if (run.length == 0) {
                throw new IllegalArgumentException("an empty run cannot be summarised");
            }
            total += run.length;
        }
        long[] lateness = new long[total];
        long[] jitter = new long[total];
        int at = 0;
        for (long[] run : runs) {
            System.arraycopy(run, 0, lateness, at, run.length);
            System.arraycopy(Stats.jitter(run), 0, jitter, at, run.length);
            at += run.length;
        }
        return new LatencyStats(lateness, jitter);
    }

    /** Lateness percentile in nanoseconds. */
    long lateness(double p) {
        return lateness.percentile(p);
    }

    /** Jitter percentile in nanoseconds. */
    long jitter(double p) {
        return jitter.percentile(p);
    }

    /** All jitter values, sorted: the steps of the jitter CDF. */
    long[] sortedJitter() {
        return sortedJitter.clone();
    }

    /** Number of beats pooled. */
    int count() {
        return sortedJitter.length;
    }
}
