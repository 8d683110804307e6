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
     * The summary: taps; lateness p50, p90, p99 and max; jitter (lateness minus the run's smallest) p50 and p99;
     * drift (mean lateness of the last tenth of the beats minus that of the first tenth); whether the tapper thread
     * ran real-time, and if not, how to allow it.
     */
    static void printSummary(PrintWriter out, TapSession.Result result) {
        out.println(String.format(Locale.ROOT, "taps      %d of %d%s", result.taps(), result.beats(),
                result.stoppedEarly() ? " (stopped early)" : ""));
        if (result.taps() == 0) {
            return;
        }
        long[] lateness = result.latenessNanos();
        Stats late = Stats.of(lateness);
        Stats jitter = Stats.of(Stats.jitter(lateness));
        out.println(String.format(Locale.ROOT, "lateness  p50 %s  p90 %s  p99 %s  max %s", micros(late.percentile(50)),
                micros(late.percentile(90)), micros(late.percentile(99)), micros(late.max())));
        out.println(String.format(Locale.ROOT, "jitter    p50 %s  p99 %s", micros(jitter.percentile(50)),
                micros(jitter.percentile(99))));
        out.println(String.format(Locale.ROOT, "drift     %+.1f us (last tenth of the beats against the first)",
                Stats.drift(lateness) / NANOS_PER_MICRO));
        ThreadScheduling scheduling = result.scheduling();
        if (scheduling == null) {
            out.println("scheduling not known (it is read from /proc on Linux)");
        } else if (scheduling.isRealTime()) {
            out.println("scheduling " + scheduling);
        } else {
            out.println("scheduling " + scheduling + ": real-time was refused");
            out.println("          " + ThreadScheduling.howToAllow());
        }
    }

    private static String micros(long nanos) {
        return String.format(Locale.ROOT, "%.1f us", nanos / NANOS_PER_MICRO);
    }

    /** Writes the raw taps as CSV with a header line; times in nanoseconds from the start. Flushes the stream. */
    static void writeCsv(TapSession.Result result, OutputStream stream) throws IOException {
        Writer writer = new BufferedWriter(new OutputStreamWriter(stream, StandardCharsets.US_ASCII));
        writer.write("beat,due_ns,actual_ns,lateness_ns\n");
        long[] due = result.dueNanos();
        long[] actual = result.actualNanos();
        for (int i = 0; i < due.length; i++) {
            writer.write((i + 1) + "," + due[i] + "," + actual[i] + "," + (actual[i] - due[i]) + "\n");
        }
        writer.flush();
    }
}
