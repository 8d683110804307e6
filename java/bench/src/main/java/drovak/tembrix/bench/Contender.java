package drovak.tembrix.bench;

/** One way of tapping a schedule, run the same way for every round. */
interface Contender {

    /** The name shown in the table and the chart. */
    String name();

    /**
     * Taps the schedule once and returns each beat's lateness against this contender's start point.
     *
     * @throws Exception if the run fails or does not tap every beat in time
     */
    Run run(Schedule schedule) throws Exception;

    /**
     * The outcome of one run.
     *
     * <p>{@code t0Nanos} is the time from the start point to the t0 that the tapping thread reads, against which
     * it schedules its beats. It is exact when {@code t0Exact}; otherwise it is an upper bound, or -1 when the
     * contender has no t0 of its own (a scheduler that takes each delay from the caller). {@code scheduling} is
     * what the tapping thread got where the contender asks for real-time scheduling, else null. {@code cpuNanos}
     * is the CPU time the tapping thread used from its first beat to its last (read right after each is recorded),
     * or {@link ThreadCpu#UNKNOWN}.
     */
    final class Run {
        final long[] lateness;
        final long t0Nanos;
        final boolean t0Exact;
        final Scheduling scheduling;
        final long cpuNanos;

        Run(long[] lateness, long t0Nanos, boolean t0Exact) {
            this(lateness, t0Nanos, t0Exact, null, ThreadCpu.UNKNOWN);
        }

        Run(long[] lateness, long t0Nanos, boolean t0Exact, Scheduling scheduling, long cpuNanos) {
            this.lateness = lateness;
            this.t0Nanos = t0Nanos;
            this.t0Exact = t0Exact;
            this.scheduling = scheduling;
            this.cpuNanos = cpuNanos;
        }

        /** Lateness against the thread's own t0, without its start-up; null unless t0 is exact. */
        long[] latenessFromT0() {
            if (!t0Exact) {
                return null;
            }
            long[] fromT0 = new long[lateness.length];
            for (int i = 0; i < lateness.length; i++) {
                fromT0[i] = lateness[i] - t0Nanos;
            }
            return fromT0;
        }
    }

    /** How long a run may take beyond its last beat before it counts as hung. */
    static long timeoutMillis(Schedule schedule) {
        return schedule.durationNanos() / 1_000_000 + 10_000;
    }

    /** Lateness of each recorded tap against the start point. */
    static long[] lateness(long[] taps, long start, Schedule schedule) {
        long[] lateness = new long[taps.length];
        for (int i = 0; i < taps.length; i++) {
            lateness[i] = taps[i] - (start + schedule.offsetNanos(i));
        }
        return lateness;
    }
}
