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
     * @param lateness each beat's tap time minus (start point + offset), in nanoseconds
     * @param startupNanos from the start point to the tapping thread's t0 if known, or an upper bound of it
     */
    final class Run {
        final long[] lateness;
        final long startupNanos;

        Run(long[] lateness, long startupNanos) {
            this.lateness = lateness;
            this.startupNanos = startupNanos;
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
