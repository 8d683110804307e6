package drovak.tembrix;

import java.io.BufferedWriter;
import java.io.IOException;
import java.io.OutputStream;
import java.io.OutputStreamWriter;
import java.io.PrintWriter;
import java.io.Writer;
import java.nio.charset.StandardCharsets;
import java.util.Locale;

/** What the command prints and writes about a run: the tap lines, the summary and the CSV file. */
final class Report {

    private static final double NANOS_PER_SECOND = 1e9;
    private static final double NANOS_PER_MICRO = 1e3;
    private static final boolean MAC = System.getProperty("os.name", "").startsWith("Mac");

    /** What lets the tapper thread run real-time on Linux, on one line. */
    static final String HOW_TO_ALLOW_REAL_TIME = "to allow it: an rtprio limit of 2 or more (\"@audio - rtprio 2\" "
            + "in /etc/security/limits.d/, or LimitRTPRIO=2 for a systemd service) or CAP_SYS_NICE, "
            + "and no finite RLIMIT_RTTIME";

    private Report() {}

    static void printHeader(PrintWriter out) {
        out.println("  beat     due (s)  actual (s)  late (us)");
    }

    /** One line per tap: beat number (from 1), due and actual time in seconds, lateness in microseconds. */
    static void printTap(PrintWriter out, int beat, long dueNanos, long actualNanos) {
        out.println(String.format(Locale.ROOT, "%6d %11.6f %11.6f %10.1f", beat, dueNanos / NANOS_PER_SECOND,
                actualNanos / NANOS_PER_SECOND, (actualNanos - dueNanos) / NANOS_PER_MICRO));
    }

    /**
     * The summary: taps; the start-up (from the {@code startTapper()} call to the tapper thread's start, from which
     * every time counts); lateness p50, p90, p99 and max; jitter (lateness minus the run's smallest) p50 and p99;
     * drift (mean lateness of the last tenth of the beats minus that of the first tenth); whether the tapper thread
     * got real-time scheduling, and if not, how to allow it. A run that ended before the tapper started has the
     * first line only.
     */
    static void printSummary(PrintWriter out, TapSession.Result result) {
        out.println(String.format(Locale.ROOT, "taps      %d of %d%s", result.taps(), result.beats(),
                result.stoppedEarly() ? " (stopped early)" : ""));
        if (!result.started()) {
            return;
        }
        out.println("start-up  " + micros(result.startupNanos())
                + " (from startTapper() to the tapper thread's start, from which the times count)");
        if (result.taps() > 0) {
            long[] lateness = result.latenessNanos();
            Stats late = Stats.of(lateness);
            Stats jitter = Stats.of(Stats.jitter(lateness));
            out.println(String.format(Locale.ROOT, "lateness  p50 %s  p90 %s  p99 %s  max %s",
                    micros(late.percentile(50)), micros(late.percentile(90)), micros(late.percentile(99)),
                    micros(late.max())));
            out.println(String.format(Locale.ROOT, "jitter    p50 %s  p99 %s", micros(jitter.percentile(50)),
                    micros(jitter.percentile(99))));
            out.println(String.format(Locale.ROOT, "drift     %+.1f us (last tenth of the beats against the first)",
                    Stats.drift(lateness) / NANOS_PER_MICRO));
        }
        if (result.realTime()) {
            out.println("scheduling real-time (" + (MAC ? "Mach time-constraint policy"
                    : "SCHED_FIFO under a watchdog: a tap() over 3 ms runs at normal priority") + ")");
        } else {
            out.println("scheduling normal: real-time was refused");
            if (!MAC) {
                out.println("          " + HOW_TO_ALLOW_REAL_TIME);
            }
        }
    }

    private static String micros(long nanos) {
        return String.format(Locale.ROOT, "%.1f us", nanos / NANOS_PER_MICRO);
    }

    /** The CSV file's header line: the actual time's name says where it counts from. */
    static final String CSV_HEADER = "beat,due_ns,actual_ns_from_tapper_start,lateness_ns";

    /**
     * Writes the raw taps as CSV with a header line; times in nanoseconds from the tapper thread's start, from
     * which the beat times count too. Flushes the stream.
     */
    static void writeCsv(TapSession.Result result, OutputStream stream) throws IOException {
        Writer writer = new BufferedWriter(new OutputStreamWriter(stream, StandardCharsets.US_ASCII));
        writer.write(CSV_HEADER + "\n");
        long[] due = result.dueNanos();
        long[] actual = result.actualNanos();
        for (int i = 0; i < due.length; i++) {
            writer.write((i + 1) + "," + due[i] + "," + actual[i] + "," + (actual[i] - due[i]) + "\n");
        }
        writer.flush();
    }
}
