package drovak.tembrix.bench;

import java.util.ArrayList;
import java.util.List;

/** Parses what the bare-C floor program ({@code bench/floor.c}) prints. */
final class FloorOutput {

    private FloorOutput() {}

    /**
     * One tapped schedule: the thread's timer slack and scheduling policy, its t0 after the start point, each
     * beat's lateness, and the thread's CPU time from its first beat to its last ({@link ThreadCpu#UNKNOWN} from a
     * floor program that does not print it).
     */
    static final class ScheduleRun {
        final long slackNanos;
        final int policy;
        final long t0Nanos;
        final long[] lateness;
        final long cpuNanos;

        ScheduleRun(long slackNanos, int policy, long t0Nanos, long[] lateness, long cpuNanos) {
            this.slackNanos = slackNanos;
            this.policy = policy;
            this.t0Nanos = t0Nanos;
            this.lateness = lateness;
            this.cpuNanos = cpuNanos;
        }
    }

    /** One overdue run: how many beats, first to last beat, and how many nanosleep calls failed with EINVAL. */
    static final class OverdueRun {
        final long beats;
        final long elapsedNanos;
        final long einval;

        OverdueRun(long beats, long elapsedNanos, long einval) {
            this.beats = beats;
            this.elapsedNanos = elapsedNanos;
            this.einval = einval;
        }

        /** Taps per second: the intervals between the first and the last beat over the time they took. */
        double tapsPerSecond() {
            return (beats - 1) * 1e9 / Math.max(1, elapsedNanos);
        }
    }

    /**
     * Parses the output of {@code tembrix_floor schedule}.
     *
     * @throws IllegalArgumentException if a line is malformed, a field is missing, or the number of lateness
     *     lines is not {@code expectedBeats}
     */
    static ScheduleRun parseSchedule(String output, int expectedBeats) {
        Long slack = null;
        Long policy = null;
        Long t0 = null;
        long cpu = ThreadCpu.UNKNOWN;
        List<Long> lateness = new ArrayList<>(expectedBeats);
        for (String[] field : fields(output)) {
            switch (field[0]) {
                case "slack_ns":
                    slack = value(field);
                    break;
                case "policy":
                    policy = value(field);
                    break;
                case "t0_ns":
                    t0 = value(field);
                    break;
                case "lateness_ns":
                    lateness.add(value(field));
                    break;
                case "cpu_ns":
                    cpu = value(field);
                    break;
                default:
                    throw unexpected(field);
            }
        }
        if (slack == null || policy == null || t0 == null) {
            throw new IllegalArgumentException("the floor program printed no "
                    + (slack == null ? "slack_ns" : policy == null ? "policy" : "t0_ns"));
        }
        if (lateness.size() != expectedBeats) {
            throw new IllegalArgumentException("the floor program reported " + lateness.size() + " beats, expected "
                    + expectedBeats);
        }
        long[] values = new long[lateness.size()];
        for (int i = 0; i < values.length; i++) {
            values[i] = lateness.get(i);
        }
        return new ScheduleRun(slack, policy.intValue(), t0, values, cpu);
    }

    /**
     * Parses the output of {@code tembrix_floor overdue}.
     *
     * @throws IllegalArgumentException if a line is malformed or a field is missing
     */
    static OverdueRun parseOverdue(String output) {
        Long beats = null;
        Long elapsed = null;
        Long einval = null;
        for (String[] field : fields(output)) {
            switch (field[0]) {
                case "beats":
                    beats = value(field);
                    break;
                case "elapsed_ns":
                    elapsed = value(field);
                    break;
                case "einval":
                    einval = value(field);
                    break;
                default:
                    throw unexpected(field);
            }
        }
        if (beats == null || elapsed == null || einval == null) {
            throw new IllegalArgumentException(
                    "the floor program's overdue output lacks beats, elapsed_ns or einval");
        }
        return new OverdueRun(beats, elapsed, einval);
    }

    /**
     * Parses the output of {@code tembrix_floor stop}: each stop's duration in nanoseconds.
     *
     * @throws IllegalArgumentException if a line is malformed or there is no stop
     */
    static long[] parseStops(String output) {
        List<String[]> lines = fields(output);
        long[] stops = new long[lines.size()];
        for (int i = 0; i < stops.length; i++) {
            String[] field = lines.get(i);
            if (!field[0].equals("stop_ns")) {
                throw unexpected(field);
            }
            stops[i] = value(field);
        }
        if (stops.length == 0) {
            throw new IllegalArgumentException("the floor program reported no stop");
        }
        return stops;
    }

    private static List<String[]> fields(String output) {
        List<String[]> lines = new ArrayList<>();
        for (String line : output.split("\n")) {
            String trimmed = line.trim();
            if (trimmed.isEmpty()) {
                continue;
            }
            String[] field = trimmed.split("\\s+");
            if (field.length != 2) {
                throw new IllegalArgumentException("malformed line from the floor program: " + trimmed);
            }
            lines.add(field);
        }
        return lines;
    }

    private static IllegalArgumentException unexpected(String[] field) {
        return new IllegalArgumentException("unexpected line from the floor program: " + String.join(" ", field));
    }

    private static long value(String[] field) {
        try {
            return Long.parseLong(field[1]);
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException(
                    "malformed number from the floor program: " + String.join(" ", field), e);
        }
    }
}
