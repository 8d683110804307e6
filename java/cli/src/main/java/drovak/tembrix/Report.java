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
    private static final String OS = System.getProperty("os.name", "");
    private static final boolean MAC = OS.startsWith("Mac");
    private static final boolean WINDOWS = OS.startsWith("Windows");

    /** What lets the tapper thread run real-time on Linux, on one line. */
    static final String HOW_TO_ALLOW_REAL_TIME = "to allow it: an rtprio limit of 2 or more (\"@audio - rtprio 2\" "
            + "in /etc/security/limits.d/, or LimitRTPRIO=2 for a systemd service) or CAP_SYS_NICE, "
            + "and no finite RLIMIT_RTTIME";

    private Report() {}

    static void printHeader(PrintWriter out) {
        out.println("  beat     due (s)  actual (s)  late (us)");
    }

    /** One line per tap: beat number (from 1), due and actual time in seconds, lateness in microseconds. */
    static void printTap(PrintWriter out, long beat, long dueNanos, long actualNanos) {
        out.println(tapColumns(beat, dueNanos, actualNanos));
    }

    private static String tapColumns(long beat, long dueNanos, long actualNanos) {
        return String.format(Locale.ROOT, "%6d %11.6f %11.6f %10.1f", beat, dueNanos / NANOS_PER_SECOND,
                actualNanos / NANOS_PER_SECOND, (actualNanos - dueNanos) / NANOS_PER_MICRO);
    }

    static void printMetronomeHeader(PrintWriter out) {
        out.println("  beat     due (s)  actual (s)  late (us)   bar      bpm");
    }

    /**
     * One line per metronome beat: the columns of a tap, times from the first beat's due time, and on the first
     * beat of a bar, the bar's number and tempo.
     *
     * @param bar the bar's number from 1 if the beat starts it, else 0
     */
    static void printBeat(PrintWriter out, long beat, long dueNanos, long actualNanos, long bar, double bpm) {
        String columns = tapColumns(beat, dueNanos, actualNanos);
        out.println(bar > 0 ? columns + String.format(Locale.ROOT, " %5d %8.1f", bar, bpm) : columns);
    }

    /** A line for beats that were heard but not measured, numbered from 1. */
    static void printGap(PrintWriter out, long first, long last) {
        out.println("       " + (first == last ? "beat " + first : "beats " + first + " to " + last)
                + " not measured: the output fell behind");
    }

    /**
     * The summary: taps; the start-up (from the {@code startTapper()} call to the tapper thread's start, from which
     * every time counts); lateness, jitter and drift (see {@link #printTiming}); the scheduling: whether the
     * tapper thread got real-time scheduling, and if not, how to allow it, and whether it was precise. A run that
     * ended before the tapper started has the first line only.
     */
    static void printSummary(PrintWriter out, TapSession.Result result) {
        out.println(String.format(Locale.ROOT, "taps      %d of %d%s", result.taps(), result.beats(),
                result.stoppedEarly() ? " (stopped early)" : ""));
        if (!result.started()) {
            return;
        }
        out.println("start-up  " + micros(result.startupNanos())
                + " (from startTapper() to the tapper thread's start, from which the times count)");
        printTiming(out, result.latenessNanos());
        printScheduling(out, result.precise(), result.realTime());
    }

    /** What the tapper thread got, as the library tells it, and on Linux how to allow real-time if it was refused. */
    static void printScheduling(PrintWriter out, boolean precise, boolean realTime) {
        String mode = precise ? "precise, " : "";
        if (realTime) {
            out.println("scheduling " + mode + "real-time (" + (MAC ? "Mach time-constraint policy"
                    : WINDOWS ? "time-critical priority while it sleeps and wakes, normal in tap()"
                    : "SCHED_FIFO under a watchdog: a tap() over 3 ms runs at normal priority") + ")");
        } else {
            out.println("scheduling " + mode + "normal: real-time was refused");
            if (!MAC && !WINDOWS) {
                out.println("          " + HOW_TO_ALLOW_REAL_TIME);
            }
        }
    }

    /**
     * The summary of a metronome run: taps, and how many of them were not measured; the tempo, or the ramp and
     * where it got to; lateness, jitter and drift; and what the tapper thread got, as for a list.
     */
    static void printMetronomeSummary(PrintWriter out, MetronomeSession.Result result) {
        StringBuilder taps = new StringBuilder("taps      ").append(result.heard());
        if (result.count() != MetronomeSession.ENDLESS) {
            taps.append(" of ").append(result.count()).append(result.stoppedEarly() ? " (stopped early)" : "");
        }
        if (result.unmeasured() > 0) {
            taps.append("; ").append(result.unmeasured()).append(" not measured: the output fell behind");
        }
        if (result.latenessCut()) {
            taps.append("; the figures below are of the first ").append(MetronomeSession.MAX_MEASURED);
        }
        out.println(taps);
        if (!result.started()) {
            return;
        }
        TempoPlan plan = result.plan();
        if (plan.ramps()) {
            String reached = "";
            if (result.heard() > 0) {
                long last = result.heard() - 1;
                reached = String.format(Locale.ROOT, "; the last beat at %.1f BPM, in bar %d", plan.bpm(last),
                        plan.bar(last) + 1);
            }
            out.println(String.format(Locale.ROOT, "tempo     %.1f to %.1f BPM over %d bars of %d beats%s",
                    plan.from(), plan.to(), plan.rampBars(), plan.meter(), reached));
        } else {
            out.println(String.format(Locale.ROOT, "tempo     %.1f BPM, %d beats a bar", plan.from(), plan.meter()));
        }
        printTiming(out, result.latenessNanos());
        printScheduling(out, result.precise(), result.realTime());
    }

    /**
     * Lateness p50, p90, p99 and max; jitter (lateness minus the run's smallest) p50 and p99; drift (mean lateness
     * of the last tenth of the beats minus that of the first tenth). Nothing if there is no lateness.
     *
     * @param lateness each beat's lateness, in beat order
     */
    private static void printTiming(PrintWriter out, long[] lateness) {
        if (lateness.length == 0) {
            return;
        }
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

    /** The metronome's CSV header: times count from the first beat's due time. */
    static final String METRONOME_CSV_HEADER =
            "beat,due_ns,actual_ns_from_first_beat,lateness_ns,bar,beat_in_bar,bpm";

    /** One row under {@link #METRONOME_CSV_HEADER}, with its line end; bar and beat in bar from 1. */
    static String metronomeCsvRow(long beat, long dueNanos, long actualNanos, long bar, int beatInBar, double bpm) {
        return beat + "," + dueNanos + "," + actualNanos + "," + (actualNanos - dueNanos) + "," + bar + ","
                + beatInBar + "," + bpm + "\n";
    }
}
