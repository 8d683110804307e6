package drovak.tembrix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.ByteArrayInputStream;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import javax.sound.sampled.AudioSystem;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import picocli.CommandLine;

class MainTest {

    @TempDir
    static Path dir;

    /** What a run in this process printed. */
    static final class Outcome {
        final int exitCode;
        final String out;
        final String err;

        Outcome(int exitCode, String out, String err) {
            this.exitCode = exitCode;
            this.out = out.replace(System.lineSeparator(), "\n");
            this.err = err.replace(System.lineSeparator(), "\n");
        }
    }

    static Outcome run(String stdin, String... args) {
        StringWriter out = new StringWriter();
        StringWriter err = new StringWriter();
        InputStream in = new ByteArrayInputStream(stdin.getBytes(StandardCharsets.UTF_8));
        int exitCode = Main.commandLine(in, new PrintWriter(out, true), new PrintWriter(err, true)).execute(args);
        return new Outcome(exitCode, out.toString(), err.toString());
    }

    static final String NO_SUCH_DIR = "/nonexistent-tembrix-dir";

    static Stream<Arguments> badInput() throws Exception {
        Path empty = Files.writeString(dir.resolve("empty.txt"), "# nothing\n\n");
        Path malformed = Files.writeString(dir.resolve("malformed.txt"), "0.5\n1,0\n");
        return Stream.of(
                Arguments.of(List.of("--nope"), "Unknown option: '--nope'"),
                Arguments.of(List.of("now"), "Unmatched argument at index 0: 'now'"),
                Arguments.of(List.of("--bpm", "fast", "--beats", "4"), "'fast' is not a double"),
                Arguments.of(List.of("--bpm", "120", "--beats", "4.5"), "'4.5' is not an int"),
                Arguments.of(List.of("--times", "0.5,x"), "'x' is not a double"),
                Arguments.of(List.of("--bpm"), "Missing required parameter for option '--bpm'"),
                Arguments.of(List.of("--bpm", "0", "--beats", "4"), "--bpm must be a finite number above 0"),
                Arguments.of(List.of("--bpm", "-60", "--pattern", "x."), "--bpm must be a finite number above 0"),
                Arguments.of(List.of("--bpm", "NaN", "--beats", "4"), "--bpm must be a finite number above 0"),
                Arguments.of(List.of("--bpm", "Infinity", "--beats", "4"), "finite number above 0, got Infinity"),
                Arguments.of(List.of("--bpm", "120", "--beats", "0"), "--beats must be at least 1"),
                Arguments.of(List.of("--bpm", "120", "--pattern", "...."), "the rhythm is empty"),
                Arguments.of(List.of("--bpm", "120", "--pattern", ""), "the rhythm is empty"),
                Arguments.of(List.of("--bpm", "120", "--pattern", "x.o"), "found 'o' at position 3"),
                Arguments.of(List.of("--bpm", "120", "--pattern", "x", "--subdivision", "0"),
                        "--subdivision must be at least 1"),
                Arguments.of(List.of("--times", "1,0.5"), "--times, beat 2: beat times must not go back"),
                Arguments.of(List.of("--times", "-1"), "beat times must be from 0 to 86400 seconds"),
                Arguments.of(List.of("--file", empty.toString()), "the rhythm is empty"),
                Arguments.of(List.of("--file", malformed.toString()), "line 2: '1,0' is not a time"),
                Arguments.of(List.of("--file", NO_SUCH_DIR + "/beats.txt"), "no such file"),
                Arguments.of(List.of("--file", dir.toString()), "cannot read --file " + dir),
                Arguments.of(List.of("--file", "-"), "the rhythm is empty: standard input"),
                Arguments.of(List.of("--times", "1", "--file", "x"), "give one rhythm, not --times and --file"),
                Arguments.of(List.of("--bpm", "90", "--beats", "4", "--pattern", "x"),
                        "give one rhythm, not --beats and --pattern"),
                Arguments.of(List.of("--bpm", "90"), "--bpm needs --beats or --pattern"),
                Arguments.of(List.of("--beats", "4"), "--beats needs --bpm"),
                Arguments.of(List.of("--pattern", "x.x."), "--pattern needs --bpm"),
                Arguments.of(List.of("--bpm", "90", "--times", "1"), "--bpm goes with --beats or --pattern"),
                Arguments.of(List.of("--subdivision", "3", "--times", "1"), "--subdivision goes with --pattern"),
                Arguments.of(List.of("--times", "0.01", "--csv", NO_SUCH_DIR + "/taps.csv"),
                        "cannot write " + NO_SUCH_DIR + "/taps.csv: no such directory"),
                Arguments.of(List.of("--times", "50000", "--wav", dir.resolve("long.wav").toString()),
                        "--wav holds at most 43200 s"),
                Arguments.of(List.of("--metronome"), "--metronome needs --bpm"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--pattern", "x"),
                        "give one rhythm, not --metronome and --pattern"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--subdivision", "2"),
                        "--subdivision goes with --pattern"),
                Arguments.of(List.of("--meter", "3", "--times", "1"), "--meter goes with --metronome"),
                Arguments.of(List.of("--bpm", "90", "--beats", "4", "--ramp-to", "120"),
                        "--ramp-to goes with --metronome"),
                Arguments.of(List.of("--metronome", "--bpm", "0.5"),
                        "--bpm must be from 1 to 6000 beats per minute for the metronome, got 0.5"),
                Arguments.of(List.of("--metronome", "--bpm", "NaN"), "--bpm must be from 1 to 6000"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--ramp-to", "9000", "--ramp-bars", "4"),
                        "--ramp-to must be from 1 to 6000 beats per minute for the metronome, got 9000.0"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--ramp-to", "120"), "--ramp-to needs --ramp-bars"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--ramp-bars", "4"), "--ramp-bars needs --ramp-to"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--ramp-to", "120", "--ramp-bars", "0"),
                        "--ramp-bars must be at least 1, got 0"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--meter", "0"),
                        "--meter must be at least 1 beat per bar, got 0"),
                Arguments.of(List.of("--metronome", "--bpm", "90", "--beats", "0"), "--beats must be at least 1"),
                // 50,000 beats at 1 BPM last some 35 days.
                Arguments.of(List.of("--metronome", "--bpm", "1", "--beats", "50000", "--wav",
                        dir.resolve("long.wav").toString()), "--wav holds at most 43200 s"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("badInput")
    void badInputGetsOneLineOnStandardErrorAndExitCodeTwo(List<String> args, String expected) {
        Outcome r = run("", args.toArray(new String[0]));
        assertEquals(2, r.exitCode, r.err);
        assertTrue(r.err.startsWith("tembrix: "), r.err);
        assertTrue(r.err.contains(expected), r.err);
        assertTrue(r.err.endsWith(" (see tembrix --help)\n"), r.err);
        assertEquals(1, r.err.lines().count(), "one line: " + r.err);
        assertFalse(r.err.contains("Exception"), "no stack trace: " + r.err);
        assertEquals("", r.out, "nothing is played");
    }

    @Test
    void helpAndVersionGoToStandardOutput() {
        Outcome help = run("", "--help");
        assertEquals(0, help.exitCode);
        for (String option : new String[] {"--bpm", "--beats", "--pattern", "--subdivision", "--times", "--file",
                "--csv", "--wav", "--metronome", "--meter", "--ramp-to", "--ramp-bars", "--precise"}) {
            assertTrue(help.out.contains(option), option + " in " + help.out);
        }
        assertEquals("", help.err);
        Outcome version = run("", "--version");
        assertEquals(0, version.exitCode);
        assertTrue(version.out.startsWith("tembrix "), version.out);
    }

    @Test
    void subcommandsShareTheStreamsAndHandlers() {
        // A subcommand added after them would print on System.out and exit with picocli's defaults.
        StringWriter out = new StringWriter();
        CommandLine cmd = Main.commandLine(new PrintWriter(out), new PrintWriter(new StringWriter()));
        for (CommandLine sub : cmd.getSubcommands().values()) {
            assertEquals(cmd.getOut(), sub.getOut(), sub.getCommandName());
            assertEquals(cmd.getParameterExceptionHandler(), sub.getParameterExceptionHandler());
        }
    }

    /** Beat, due, actual and lateness columns of a tap line. */
    private static final Pattern TAP_LINE =
            Pattern.compile(" *(\\d+) +(\\d+\\.\\d{6}) +(\\d+\\.\\d{6}) +(-?\\d+\\.\\d)");

    @Test
    void aShortRunPrintsEachTapAndASummaryAndWritesTheFiles() throws Exception {
        Path csv = dir.resolve("run.csv");
        Path wav = dir.resolve("run.wav");
        Outcome r = run("0.01\n0.02 # second\n\n0.04\n", "--file", "-", "--csv", csv.toString(), "--wav",
                wav.toString());
        assertEquals(0, r.exitCode, r.err);
        assertEquals("", r.err);

        List<String> lines = r.out.lines().collect(java.util.stream.Collectors.toList());
        assertEquals("  beat     due (s)  actual (s)  late (us)", lines.get(0));
        double[] due = {0.01, 0.02, 0.04};
        long[] actualNanos = new long[3];
        for (int i = 0; i < 3; i++) {
            Matcher m = TAP_LINE.matcher(lines.get(i + 1));
            assertTrue(m.matches(), lines.get(i + 1));
            assertEquals(i + 1, Integer.parseInt(m.group(1)));
            assertEquals(due[i], Double.parseDouble(m.group(2)), 1e-9);
            double late = Double.parseDouble(m.group(4));
            // Never early; late by a bound wide enough for a loaded machine.
            assertTrue(late >= 0 && late < 250_000, "lateness " + late + " us");
            actualNanos[i] = Math.round(Double.parseDouble(m.group(3)) * 1e9);
        }
        assertEquals("taps      3 of 3", lines.get(4));
        Matcher startup = Pattern.compile("start-up  (\\S+) us \\(from startTapper\\(\\) to the tapper thread's "
                + "start, from which the times count\\)").matcher(lines.get(5));
        assertTrue(startup.matches(), lines.get(5));
        double startupMicros = Double.parseDouble(startup.group(1));
        assertTrue(startupMicros >= 0 && startupMicros < 250_000, "start-up " + startupMicros + " us");
        assertTrue(lines.get(6).matches("lateness  p50 \\S+ us  p90 \\S+ us  p99 \\S+ us  max \\S+ us"), lines.get(6));
        assertTrue(lines.get(7).matches("jitter    p50 \\S+ us  p99 \\S+ us"), lines.get(7));
        assertTrue(lines.get(8).startsWith("drift     "), lines.get(8));
        // What the library said the tapper thread got: real-time where this JVM may have it.
        if (lines.get(9).startsWith("scheduling real-time")) {
            assertEquals("scheduling real-time (SCHED_FIFO under a watchdog: a tap() over 3 ms runs at normal "
                    + "priority)", lines.get(9));
            assertEquals(10, lines.size(), r.out);
        } else {
            assertEquals("scheduling normal: real-time was refused", lines.get(9));
            assertEquals("          " + Report.HOW_TO_ALLOW_REAL_TIME, lines.get(10));
            assertEquals(11, lines.size(), r.out);
        }

        List<String> rows = Files.readAllLines(csv);
        assertEquals("beat,due_ns,actual_ns_from_tapper_start,lateness_ns", rows.get(0));
        assertEquals(4, rows.size());
        for (int i = 0; i < 3; i++) {
            String[] cells = rows.get(i + 1).split(",");
            assertEquals(String.valueOf(i + 1), cells[0]);
            assertEquals(Math.round(due[i] * 1e9), Long.parseLong(cells[1]));
            assertEquals(actualNanos[i], Long.parseLong(cells[2]), 1_000, "CSV and the printed line agree");
            assertEquals(Long.parseLong(cells[2]) - Long.parseLong(cells[1]), Long.parseLong(cells[3]));
        }
        assertTrue(AudioSystem.getAudioFileFormat(wav.toFile()).getFrameLength() > 0.04 * 44_100);
    }

    @Test
    void csvToStandardOutputSendsTheTapLinesToStandardErrorAndPreciseModeIsSaid() throws Exception {
        Outcome r = run("", "--times", "0.01,0.02", "--csv", "-", "--precise");
        assertEquals(0, r.exitCode, r.err);
        List<String> rows = r.out.lines().collect(java.util.stream.Collectors.toList());
        assertEquals(List.of("beat,due_ns,actual_ns_from_tapper_start,lateness_ns"), rows.subList(0, 1), r.out);
        assertEquals(3, rows.size(), r.out);
        assertTrue(r.err.contains("taps      2 of 2"), r.err);
        assertTrue(r.err.contains("\nscheduling precise, "), r.err);
    }

    @Test
    void aMetronomeRampStepsItsTempoAtEachBarLineWithNoGapAndStopsAtTheCount() throws Exception {
        // Two beats a bar; bars at 3000, 4500, then 6000 BPM: intervals of 20, 13.3 and 10 ms.
        Path csv = dir.resolve("metronome.csv");
        Outcome r = run("", "--metronome", "--bpm", "3000", "--ramp-to", "6000", "--ramp-bars", "2", "--meter", "2",
                "--beats", "12", "--precise", "--csv", csv.toString());
        assertEquals(0, r.exitCode, r.err);
        assertEquals("", r.err);
        double[] bpm = {3000, 4500, 6000, 6000, 6000, 6000};

        List<String> rows = Files.readAllLines(csv);
        assertEquals("beat,due_ns,actual_ns_from_first_beat,lateness_ns,bar,beat_in_bar,bpm", rows.get(0));
        assertEquals(13, rows.size(), "the count, and no beat after it: " + rows);
        long previousDue = 0;
        for (int i = 0; i < 12; i++) {
            String[] cells = rows.get(i + 1).split(",");
            assertEquals(List.of(String.valueOf(i + 1), String.valueOf(i / 2 + 1), String.valueOf(i % 2 + 1),
                    String.valueOf(bpm[i / 2])), List.of(cells[0], cells[4], cells[5], cells[6]), rows.get(i + 1));
            long due = Long.parseLong(cells[1]);
            // The interval before each beat is the period of its bar's tempo; due times are whole microseconds.
            long expected = i == 0 ? 0 : Math.round(60e9 / bpm[i / 2]);
            assertEquals(expected, due - previousDue, 1_000, "interval before beat " + (i + 1));
            previousDue = due;
            long late = Long.parseLong(cells[3]);
            assertTrue(late >= 0 && late < 250_000_000, "lateness " + late + " ns");
        }

        List<String> lines = r.out.lines().collect(java.util.stream.Collectors.toList());
        assertEquals("  beat     due (s)  actual (s)  late (us)   bar      bpm", lines.get(0));
        for (int i = 0; i < 12; i++) {
            String line = lines.get(i + 1);
            Matcher m = TAP_LINE.matcher(line);
            assertTrue(m.lookingAt(), line);
            // The first beat of each bar shows the bar and its tempo.
            String bar = i % 2 == 0 ? String.format(java.util.Locale.ROOT, " %5d %8.1f", i / 2 + 1, bpm[i / 2]) : "";
            assertEquals(bar, line.substring(m.end()), line);
        }
        assertEquals(List.of("taps      12 of 12",
                "tempo     3000.0 to 6000.0 BPM over 2 bars of 2 beats; the last beat at 6000.0 BPM, in bar 6"),
                lines.subList(13, 15));
        assertTrue(lines.get(15).startsWith("lateness  p50 "), lines.get(15));
        assertTrue(lines.stream().anyMatch(l -> l.startsWith("scheduling precise, ")), r.out);
    }

    static Stream<Arguments> endedRuns() {
        return Stream.of(
                Arguments.of(List.of("--bpm", "600", "--beats", "1000"),
                        "(?s).*taps      \\d+ of 1000 \\(stopped early\\)\nstart-up .*\nlateness .*"),
                Arguments.of(List.of("--metronome", "--bpm", "600"),
                        "(?s).*taps      \\d+\ntempo     600.0 BPM, 4 beats a bar\nlateness .*"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("endedRuns")
    void aTerminatedRunStopsTheTapperAndPrintsTheSummarySoFar(List<String> args, String summary) throws Exception {
        // SIGTERM runs the shutdown hooks as Ctrl-C does; a JVM of its own, so that this one is not shut down.
        String java = ProcessHandle.current().info().command().orElse("java");
        String picocli = Path.of(CommandLine.class.getProtectionDomain().getCodeSource().getLocation().toURI())
                .toString();
        String classPath = System.getProperty("tembrix.test.classpath") + ":" + picocli;
        List<String> command = new ArrayList<>(List.of(java, "-Xcheck:jni", "-cp", classPath, Main.class.getName()));
        command.addAll(args);
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        process.getOutputStream().close();
        // Whatever happens, the child does not outlive the test by much.
        Thread watchdog = new Thread(() -> {
            try {
                if (!process.waitFor(30, TimeUnit.SECONDS)) {
                    process.destroyForcibly();
                }
            } catch (InterruptedException e) {
                process.destroyForcibly();
            }
        });
        watchdog.setDaemon(true);
        watchdog.start();
        List<String> lines = new ArrayList<>();
        try (BufferedReader output = new BufferedReader(
                new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
            for (String line = output.readLine(); line != null; line = output.readLine()) {
                lines.add(line);
                if (line.startsWith("     2 ")) {
                    // SIGTERM, without closing our end of the pipe as Process.destroy() would.
                    process.toHandle().destroy();
                }
            }
        } finally {
            if (!process.waitFor(20, TimeUnit.SECONDS)) {
                process.destroyForcibly();
                throw new AssertionError("no exit after SIGTERM: " + lines);
            }
        }
        String all = String.join("\n", lines);
        assertEquals(1, lines.stream().filter(l -> l.startsWith("taps ")).count(), all);
        assertTrue(all.matches(summary), all);
        assertFalse(all.contains("Exception"), all);
        assertFalse(all.contains("WARNING in native method"), all);
    }
}
