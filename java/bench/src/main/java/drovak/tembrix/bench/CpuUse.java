package drovak.tembrix.bench;

import java.util.List;

/**
 * The CPU time a contender's tapping thread used on one schedule, pooled over its runs: in each run from the first
 * beat to the last (see {@link Contender.Run#cpuNanos}), against the beats in between and the time they spanned.
 * Start-up and the set-up on the caller's thread are not in it: it is what keeping the rhythm costs while it plays.
 */
final class CpuUse {

    final long cpuNanos;
    final long intervals;
    final long elapsedNanos;

    CpuUse(long cpuNanos, long intervals, long elapsedNanos) {
        this.cpuNanos = cpuNanos;
        this.intervals = intervals;
        this.elapsedNanos = elapsedNanos;
    }

    /**
     * Pools runs of one schedule; null if any run's CPU time is unknown or no run has two beats. The time a run
     * spans is from its first tap to its last, as its lateness and the schedule's offsets give them.
     */
    static CpuUse of(List<Contender.Run> runs, Schedule schedule) {
        long cpu = 0;
        long intervals = 0;
        long elapsed = 0;
        for (Contender.Run run : runs) {
            int last = run.lateness.length - 1;
            if (run.cpuNanos < 0) {
                return null;
            }
            if (last < 1) {
                continue;
            }
            cpu += run.cpuNanos;
            intervals += last;
            elapsed += run.lateness[last] + schedule.offsetNanos(last) - run.lateness[0] - schedule.offsetNanos(0);
        }
        return intervals == 0 || elapsed <= 0 ? null : new CpuUse(cpu, intervals, elapsed);
    }

    /** CPU time per beat, in nanoseconds. */
    double perBeatNanos() {
        return (double) cpuNanos / intervals;
    }

    /** CPU time over the time the beats spanned: the share of one core, 1.0 for a whole core. */
    double shareOfCore() {
        return (double) cpuNanos / elapsedNanos;
    }
}
