package drovak.tembrix.bench;

/**
 * The CPU time a contender's one tapping thread uses from its first beat to its last: the thread reads its own CPU
 * clock right after it records the first beat and the last. {@link #beat()} is called on that thread at each beat,
 * in the order they come; {@link #nanos()} may be read once the last beat is known to have come (after a latch or
 * a join that the last beat releases).
 */
final class CpuSpan {

    private final int beats;
    private int seen;
    private long first = ThreadCpu.UNKNOWN;
    private long last = ThreadCpu.UNKNOWN;

    /** A span over the given number of beats. */
    CpuSpan(int beats) {
        this.beats = beats;
    }

    /** Counts a beat; reads the thread's CPU clock at the first and at the last. */
    void beat() {
        int k = seen++;
        if (k == 0) {
            first = ThreadCpu.now();
        }
        if (k == beats - 1) {
            last = ThreadCpu.now();
        }
    }

    /** The CPU time from the first beat to the last, or {@link ThreadCpu#UNKNOWN} if not both were read. */
    long nanos() {
        return ThreadCpu.between(first, last);
    }
}
