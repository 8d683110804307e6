package drovak.tembrix.bench;

import java.io.IOException;
import java.io.PrintWriter;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.time.Instant;
import java.time.temporal.ChronoUnit;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.Callable;
import java.util.stream.Stream;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;

/**
 * The {@code bench} command: taps the same schedules with the library (in its default mode and precise), the JDK's
 * schedulers and a bare-C floor in alternating rounds, idle and under load, with the CPU time each used; taps a
 * 10-beats-a-second grid for the CPU time alone; measures the phase error at tempo changes and phrase boundaries
 * ({@link PhaseCase}), idle and under load; then runs the allocating case ({@link AllocatingCase}) in child JVMs,
 * and reports lateness and jitter, jitter CDF charts, the phase errors, the allocating case's table, the micro
 * figures and the targets.
 */
@Command(name = "bench", mixinStandardHelpOptions = true,
        description = {"Benchmarks the tapper, in its default mode and precise, against java.util.concurrent, "
                + "java.util.Timer, the JDK's MIDI sequencer and a bare-C floor, idle and under load, with the CPU "
                + "time each uses; the phase error at tempo changes and phrase boundaries, appended against "
                + "restarted; and a tap() that allocates while the heap churns.",
            "Writes a Markdown report and a PNG chart of the jitter (drawn headless)."})
public final class BenchCommand implements Callable<Integer> {

    private static final long GRID_MICROS = 3_000;
    /** The grid of the CPU case: 10 beats a second. */
    private static final long SLOW_GRID_MICROS = 100_000;
    /** Rounds of the phase case, each running every way with its share of the changes. */
    private static final int PHASE_ROUNDS = 2;
    private static final long IRREGULAR_MIN_MICROS = 250;
    private static final long IRREGULAR_MAX_MICROS = 6_250;
    private static final int WARM_UP_BEATS = 100;
    private static final long PAUSE_BETWEEN_RUNS_MILLIS = 20;
    private static final long SPINNER_SETTLE_MILLIS = 500;
    /** How long each child of the allocating case churns its heap before it starts tapping. */
    private static final long ALLOC_SETTLE_MILLIS = 300;
    private static final long SMOKE_ALLOC_SETTLE_MILLIS = 50;

    @Option(names = "--rounds", paramLabel = "N",
            description = "Alternating rounds of every contender (default: ${DEFAULT-VALUE}).")
    int rounds = 4;

    @Option(names = "--beats", paramLabel = "N", description = "Beats in each schedule (default: ${DEFAULT-VALUE}).")
    int beats = 1000;

    @Option(names = "--load-rounds", paramLabel = "N",
            description = "Alternating rounds under load, with nproc + 1 processes spinning at normal priority; "
                    + "0 skips that section (default: ${DEFAULT-VALUE}).")
    int loadRounds = 4;

    @Option(names = "--alloc-rounds", paramLabel = "N",
            description = "Rounds of the allocating case (a tap() that allocates while two threads churn the heap, "
                    + "in child JVMs: G1 and Shenandoah, one and two CPUs, real-time granted and refused); "
                    + "0 skips that section (default: ${DEFAULT-VALUE}).")
    int allocRounds = 2;

    @Option(names = "--alloc-beats", paramLabel = "N",
            description = "Beats at 2 ms in each run of the allocating case (default: ${DEFAULT-VALUE}).")
    int allocBeats = AllocatingCase.DEFAULT_BEATS;

    @Option(names = "--slow-beats", paramLabel = "N",
            description = "Beats of the CPU case, a 100 ms grid (10 beats a second) that every contender taps once "
                    + "when idle; 0 skips it (default: ${DEFAULT-VALUE}).")
    int slowBeats = 40;

    @Option(names = "--changes", paramLabel = "N",
            description = "Tempo changes and phrase boundaries in the phase case, per way, idle and under load "
                    + "(appended to the playing rhythm against a new rhythm started for them); 0 skips it "
                    + "(default: ${DEFAULT-VALUE}).")
    int changes = 100;

    @Option(names = "--seed", paramLabel = "SEED",
            description = "Seed of the irregular rhythm (default: ${DEFAULT-VALUE}).")
    long seed = 20261208L;

    @Option(names = "--list-size", paramLabel = "N",
            description = "Beats in the setBeatList micro figure (default: ${DEFAULT-VALUE}).")
    int listSize = 2_000_000;

    @Option(names = "--overdue-beats", paramLabel = "N",
            description = "Beats in the overdue tap-rate figure (default: ${DEFAULT-VALUE}).")
    int overdueBeats = 1_000_000;

    @Option(names = "--stops", paramLabel = "N",
            description = "Stops in the stop-latency figure (default: ${DEFAULT-VALUE}).")
    int stops = 300;

    @Option(names = "--smoke",
            description = "Small sizes, for a quick check that everything runs; overrides the sizes above.")
    boolean smoke;

    @Option(names = "--report", paramLabel = "FILE",
            description = "Markdown report to write (default: ${DEFAULT-VALUE}).")
    Path report = Paths.get("bench-report.md");

    @Option(names = "--chart", paramLabel = "FILE",
            description = "PNG chart of the jitter CDF to write (default: ${DEFAULT-VALUE}).")
    Path chart = Paths.get("jitter-cdf.png");

    @Option(names = "--load-chart", paramLabel = "FILE",
            description = "PNG chart of the jitter CDF under load (default: beside --chart, named "
                    + "<its name>-under-load.png).")
    Path loadChart;

    @Option(names = "--floor", paramLabel = "FILE",
            description = "The bare-C floor program (default: bench/tembrix_floor beside the jar).")
    Path floorProgram;

    @Option(names = "--clock-bench", paramLabel = "FILE",
            description = "The getTimeNsec Google Benchmark (default: bench/tembrix_clock_bench beside the jar).")
    Path clockBench;

    @Option(names = "--jni-helper", paramLabel = "FILE",
            description = "The bench JNI helper library (default: bench/libtembrix_bench_jni.so beside the jar).")
    Path jniHelper;

    /** The command line this command runs in: its streams, and the source of its parameter errors. */
    private CommandLine commandLine;

    private PrintWriter log;

    /** Creates the command with its default sizes. */
    public BenchCommand() {}

    /**
     * Builds the command line of a new bench command, on its own or to add as a subcommand.
     *
     * @return the command line, ready for {@link CommandLine#execute} or {@link CommandLine#addSubcommand}
     */
    public static CommandLine newCommandLine() {
        BenchCommand command = new BenchCommand();
        command.commandLine = new CommandLine(command);
        // scripts/bench gives --report and --chart first; the user's own come after them and win.
        command.commandLine.setOverwrittenOptionsAllowed(true);
        return command.commandLine;
    }

    /**
     * Runs the command on its own, outside the {@code tembrix} command.
     *
     * @param args the command-line arguments
     */
    public static void main(String[] args) {
        CommandLine cmd = newCommandLine();
        cmd.setExecutionExceptionHandler((e, commandLine, parseResult) -> {
            commandLine.getErr().println("bench: " + e.getMessage());
            commandLine.getErr().flush();
            return 1;
        });
        System.exit(cmd.execute(args));
    }

    @Override
    public Integer call() throws Exception {
        log = commandLine.getErr();
        if (System.getProperty("java.awt.headless") == null) {
            // The chart is drawn off screen; no display is needed.
            System.setProperty("java.awt.headless", "true");
        }
        PrintWriter out = commandLine.getOut();
        if (smoke) {
            rounds = 1;
            loadRounds = 1;
            allocRounds = 1;
            allocBeats = 25;
            beats = 40;
            slowBeats = 3;
            changes = 4;
            listSize = 100_000;
            overdueBeats = 20_000;
            stops = 10;
        }
        requireAtLeast(rounds, 1, "--rounds");
        requireAtLeast(loadRounds, 0, "--load-rounds");
        requireAtLeast(allocRounds, 0, "--alloc-rounds");
        requireAtLeast(allocBeats, 1, "--alloc-beats");
        requireAtLeast(beats, 2, "--beats");
        if (slowBeats != 0) {
            requireAtLeast(slowBeats, 2, "--slow-beats");
        }
        requireAtLeast(changes, 0, "--changes");
        requireAtLeast(listSize, 1, "--list-size");
        requireAtLeast(overdueBeats, 2, "--overdue-beats");
        requireAtLeast(stops, 1, "--stops");
        Path floorPath = locate(floorProgram, "tembrix_floor");
        Path clockPath = locate(clockBench, "tembrix_clock_bench");
        Path helperPath = locate(jniHelper, "libtembrix_bench_jni.so");
        if (helperPath != null) {
            JniBaseline.load(helperPath);
        }

        RecordingTapper tapper = new RecordingTapper();
        boolean traced = JniBaseline.isLoaded() && JniBaseline.traceLibraryT0();
        if (!traced) {
            log.println("bench: the library's t0 cannot be traced here; its start-up is bounded by startTapper()");
        }
        Floor floor = floorPath == null ? null : new Floor(floorPath);
        List<Contender> contenders = new ArrayList<>(List.of(new LibraryContender(tapper, traced),
                new LibraryContender(new RecordingTapper(), traced, true), new ParkNanosContender(),
                new ExecutorContender(), new TimerContender()));
        String noSequencer = SequencerContender.unavailableReason();
        if (noSequencer == null) {
            contenders.add(new SequencerContender());
        } else {
            log.println("bench: the JDK's MIDI sequencer cannot be opened here, and is left out: " + noSequencer);
        }
        // Under load: the same, with the floor at 1 ns slack, and asking for real-time as the library does.
        List<Contender> loadContenders = new ArrayList<>(contenders);
        if (floor != null) {
            contenders.add(floor.contender(false));
            contenders.add(floor.contender(true));
            loadContenders.add(floor.contender(true));
            loadContenders.add(floor.realTimeContender());
        }
        int spinners = Runtime.getRuntime().availableProcessors() + 1;
        List<Schedule> schedules = List.of(Schedule.steady(beats, GRID_MICROS),
                Schedule.irregular(beats, seed, IRREGULAR_MIN_MICROS, IRREGULAR_MAX_MICROS));

        Instant began = Instant.now();
        // The library prints a line at each setBeatList and startTapper; they would bury the report.
        out.flush();
        System.out.flush();
        boolean muted = JniBaseline.isLoaded() && JniBaseline.muteStdout(true);
        List<Report.ScheduleResult> results;
        Report.ScheduleResult slow = null;
        Map<PhaseCase.Way, PhaseCase.Errors> phase = null;
        UnderLoad underLoad = new UnderLoad();
        AllocatingCase.Results allocating = null;
        MicroFigures micro = new MicroFigures();
        try {
            results = runRounds(contenders, schedules, rounds, "", true);
            if (slowBeats > 0) {
                // Every contender is warm by now; a warm-up at 10 beats a second would take long.
                slow = runRounds(contenders, List.of(Schedule.steady(slowBeats, SLOW_GRID_MICROS)), 1,
                        ", 10 beats a second", false).get(0);
            }
            if (changes > 0) {
                phase = runPhase("");
            }
            measureMicro(micro, tapper, floor, clockPath);
            if (loadRounds > 0) {
                underLoad = runUnderLoad(loadContenders, schedules, spinners);
            }
            if (allocRounds > 0) {
                Report.Granted granted = results.get(0).granted.get(Report.LIBRARY);
                allocating = new AllocatingCase(log, allocRounds, allocBeats,
                        smoke ? SMOKE_ALLOC_SETTLE_MILLIS : ALLOC_SETTLE_MILLIS)
                        .run(granted != null && granted.realTime > 0);
            }
        } finally {
            if (muted) {
                JniBaseline.muteStdout(false);
            }
        }

        List<CdfChart.Panel> panels = panels(results, rounds);
        CdfChart.write(chart, "Jitter CDF: " + machine(), panels);
        List<Report.ScheduleResult> loadResults = underLoad.results;
        Path loadChartPath = null;
        if (!loadResults.isEmpty()) {
            loadChartPath = loadChart != null ? loadChart : underLoadSibling(chart);
            CdfChart.write(loadChartPath, "Jitter CDF under load (" + spinners + " spinning processes): "
                    + machine(), panels(loadResults, loadRounds));
        }

        String text = report(results, slow, phase, underLoad, allocating, spinners, micro, began, noSequencer);
        Path parent = report.toAbsolutePath().getParent();
        if (parent != null) {
            Files.createDirectories(parent);
        }
        Files.writeString(report, text, StandardCharsets.UTF_8);
        out.print(text);
        out.flush();
        log.println("bench: wrote " + report + " and " + chart
                + (loadChartPath == null ? "" : " and " + loadChartPath));
        log.flush();
        return 0;
    }

    private List<CdfChart.Panel> panels(List<Report.ScheduleResult> results, int roundCount) {
        List<CdfChart.Panel> panels = new ArrayList<>();
        for (Report.ScheduleResult result : results) {
            Map<String, long[]> jitter = new LinkedHashMap<>();
            result.stats.forEach((name, stats) -> jitter.put(name, stats.sortedJitter()));
            panels.add(new CdfChart.Panel(result.name + ", " + beats + " beats \u00d7 "
                    + plural(roundCount, "round"), jitter));
        }
        return panels;
    }

    /** "dir/name-under-load.png" for "dir/name.png". */
    static Path underLoadSibling(Path chart) {
        String name = chart.getFileName().toString();
        int dot = name.lastIndexOf('.');
        String stem = dot > 0 ? name.substring(0, dot) : name;
        return chart.resolveSibling(stem + "-under-load" + (dot > 0 ? name.substring(dot) : ".png"));
    }

    /** What the section under load measured: the rounds, and the phase case where it ran. */
    private static final class UnderLoad {
        List<Report.ScheduleResult> results = List.of();
        Map<PhaseCase.Way, PhaseCase.Errors> phase;
    }

    /**
     * The rounds and the phase case again, while processes spin on every CPU; they are ended however the section
     * ends.
     */
    private UnderLoad runUnderLoad(List<Contender> contenders, List<Schedule> schedules, int spinnerCount)
            throws Exception {
        log.println("bench: under load: starting " + spinnerCount + " spinning processes");
        log.flush();
        try (Spinners spinners = new Spinners(spinnerCount)) {
            // Let the scheduler spread them over the CPUs first.
            Thread.sleep(SPINNER_SETTLE_MILLIS);
            UnderLoad section = new UnderLoad();
            section.results = runRounds(contenders, schedules, loadRounds, ", under load", true);
            if (changes > 0) {
                section.phase = runPhase(", under load");
            }
            if (!spinners.allAlive()) {
                throw new IllegalStateException("a spinning process ended before the rounds under load did");
            }
            return section;
        }
    }

    private Map<PhaseCase.Way, PhaseCase.Errors> runPhase(String suffix) throws Exception {
        log.printf("bench: phase at tempo changes and phrase boundaries%s%n", suffix);
        log.flush();
        return PhaseCase.run(changes, PHASE_ROUNDS);
    }

    private List<Report.ScheduleResult> runRounds(List<Contender> contenders, List<Schedule> schedules,
            int rounds, String suffix, boolean warmUp) throws Exception {
        Map<Schedule, Map<Contender, List<Contender.Run>>> runs = new LinkedHashMap<>();
        for (Schedule schedule : schedules) {
            Map<Contender, List<Contender.Run>> byContender = new LinkedHashMap<>();
            contenders.forEach(contender -> byContender.put(contender, new ArrayList<>()));
            runs.put(schedule, byContender);
        }
        if (warmUp) {
            log.println("bench: warming up");
            log.flush();
            for (Schedule schedule : schedules) {
                for (Contender contender : contenders) {
                    contender.run(schedule.prefix(WARM_UP_BEATS));
                }
            }
        }
        int n = contenders.size();
        for (int round = 0; round < rounds; round++) {
            for (Schedule schedule : schedules) {
                log.printf("bench: round %d of %d, %s%s%n", round + 1, rounds, schedule.name(), suffix);
                log.flush();
                // Each round starts with the next contender, so that none always runs right after another.
                for (int k = 0; k < n; k++) {
                    Contender contender = contenders.get((k + round) % n);
                    runs.get(schedule).get(contender).add(contender.run(schedule));
                    Thread.sleep(PAUSE_BETWEEN_RUNS_MILLIS);
                }
            }
        }
        List<Report.ScheduleResult> results = new ArrayList<>();
        for (Schedule schedule : schedules) {
            Map<String, LatencyStats> stats = new LinkedHashMap<>();
            Map<String, LatencyStats> fromT0 = new LinkedHashMap<>();
            Map<String, String> startup = new LinkedHashMap<>();
            Map<String, Report.Granted> granted = new LinkedHashMap<>();
            Map<String, CpuUse> cpu = new LinkedHashMap<>();
            runs.get(schedule).forEach((contender, list) -> {
                List<long[]> lateness = new ArrayList<>();
                List<long[]> latenessFromT0 = new ArrayList<>();
                for (Contender.Run run : list) {
                    lateness.add(run.lateness);
                    latenessFromT0.add(run.latenessFromT0());
                }
                stats.put(contender.name(), LatencyStats.of(lateness));
                if (!latenessFromT0.contains(null)) {
                    fromT0.put(contender.name(), LatencyStats.of(latenessFromT0));
                }
                startup.put(contender.name(), startupCell(list));
                Report.Granted g = granted(list);
                if (g != null) {
                    granted.put(contender.name(), g);
                }
                CpuUse use = CpuUse.of(list, schedule);
                if (use != null) {
                    cpu.put(contender.name(), use);
                }
            });
            results.add(new Report.ScheduleResult(schedule.name() + suffix, stats, fromT0, startup, granted, cpu));
        }
        return results;
    }

    /** How often the runs whose tapping thread's policy is known ran real-time; null if none is known. */
    private static Report.Granted granted(List<Contender.Run> runs) {
        List<Scheduling> known = new ArrayList<>();
        for (Contender.Run run : runs) {
            if (run.scheduling != null) {
                known.add(run.scheduling);
            }
        }
        if (known.isEmpty()) {
            return null;
        }
        int realTime = (int) known.stream().filter(s -> s.realTime).count();
        String policy = known.stream().filter(s -> s.realTime).findFirst().orElse(known.get(0)).policy;
        return new Report.Granted(realTime, known.size(), policy);
    }

    /** The median start-up (start point to t0) of a contender's runs, in microseconds; "≤" if only bounded. */
    private static String startupCell(List<Contender.Run> runs) {
        long[] values = runs.stream().mapToLong(run -> run.t0Nanos).sorted().toArray();
        long median = values[(values.length - 1) / 2];
        if (median < 0) {
            return "";
        }
        boolean exact = runs.stream().allMatch(run -> run.t0Exact);
        return (exact ? "" : "\u2264 ") + Report.micros(median);
    }

    private void measureMicro(MicroFigures micro, RecordingTapper tapper, Floor floor, Path clockPath)
            throws Exception {
        log.println("bench: micro figures");
        log.flush();
        if (clockPath != null) {
            micro.measureClock(clockPath, smoke);
        }
        if (JniBaseline.isLoaded()) {
            micro.measureSetBeatList(tapper, listSize, smoke ? 3 : 15);
        }
        int repetitions = smoke ? 1 : 3;
        micro.measureLibraryOverdue(tapper, overdueBeats, repetitions);
        if (floor != null) {
            micro.measureFloorOverdue(floor, overdueBeats, repetitions);
        }
        micro.measureStops(tapper, stops);
        micro.measureStopParts(floor, stops);
    }

    private String report(List<Report.ScheduleResult> results, Report.ScheduleResult slow,
            Map<PhaseCase.Way, PhaseCase.Errors> phase, UnderLoad underLoad, AllocatingCase.Results allocating,
            int spinners, MicroFigures micro, Instant began, String noSequencer) {
        StringBuilder out = new StringBuilder();
        out.append("# tembrix benchmark\n\n");
        out.append("Machine: ").append(machine()).append(". ");
        out.append(System.getProperty("java.vm.name")).append(' ').append(System.getProperty("java.version"))
                .append(". Run at ").append(began.truncatedTo(ChronoUnit.SECONDS)).append(".\n\n");
        out.append(String.format(Locale.ROOT, "%s; in each, every contender taps each schedule of %d beats, "
                + "in an order that rotates from round to round. Times in \u00b5s; lateness counts from each "
                + "contender's start point, jitter is lateness minus the run's minimum. CPU per beat is the CPU "
                + "time of the contender's tapping thread from its first beat to its last (precise mode's spin "
                + "included), over the beats in between; the share of a core is that time over the time those "
                + "beats spanned.%n%n", plural(rounds, "round"), beats));
        if (noSequencer != null) {
            out.append("The JDK's MIDI sequencer is left out: `MidiSystem.getSequencer(false)` gave none that "
                    + "could be opened in this JVM (").append(noSequencer).append(").\n\n");
        }
        for (Report.ScheduleResult result : results) {
            section(out, "## ", result, "");
        }
        if (slow != null) {
            section(out, "## ", slow, String.format(Locale.ROOT, "Every contender taps this grid of %d beats "
                    + "once, after the rounds above, for its CPU time: at 10 beats a second, 1%% of a core is "
                    + "1 ms per beat.%n%n", slowBeats));
        }
        if (phase != null) {
            out.append("## Appending against restarting\n\n").append(phaseIntroduction())
                    .append(Report.phaseTable(phase)).append('\n');
        }
        List<Report.ScheduleResult> loadResults = underLoad.results;
        if (!loadResults.isEmpty()) {
            out.append("## Under load\n\n").append(String.format(Locale.ROOT, "%d processes (one more than the "
                    + "CPUs) spin at normal priority for the whole section; %s of every contender on each schedule, "
                    + "in rotating order as above. The bare-C floor with 1 ns slack runs twice: as it is, and "
                    + "asking for real-time scheduling as the library does.%n%n", spinners,
                    plural(loadRounds, "round")));
            for (Report.ScheduleResult result : loadResults) {
                section(out, "### ", result, "");
            }
            if (underLoad.phase != null) {
                out.append("### Appending against restarting, under load\n\n")
                        .append(Report.phaseTable(underLoad.phase)).append('\n');
            }
        }
        if (allocating != null) {
            out.append("## Allocating tap()\n\n").append(Report.allocatingSection(allocating));
        }
        out.append("## Micro figures\n\n").append(Report.microTable(micro)).append('\n');
        for (String note : micro.notes) {
            out.append("Note: ").append(note).append("\n\n");
        }
        List<Report.Target> targets = new ArrayList<>(Report.targets(results, micro));
        targets.addAll(Report.preciseTargets(results));
        targets.add(Report.cpuTarget(slow));
        targets.addAll(Report.loadTargets(loadResults));
        if (allocating != null) {
            targets.addAll(Report.allocatingTargets(allocating));
        }
        out.append("## Targets\n\n").append(Report.targetTable(targets));
        return out.toString();
    }

    private String phaseIntroduction() {
        long[] phrase = PhaseCase.PHRASE_INTERVALS_NANOS;
        List<String> intervals = new ArrayList<>();
        for (long interval : phrase) {
            intervals.add(Long.toString(interval / 1_000_000));
        }
        return String.format(Locale.ROOT, "The phase error at a tempo change and at a phrase boundary, in \u00b5s: "
                + "%d runs of each way, in rotating order; the table counts each way's changes. A run is a series of segments of %d "
                + "beats, each after the first beginning with a change: at a tempo change the period switches "
                + "between %d and %d ms, at a phrase boundary the next phrase follows (intervals %s ms, the first "
                + "from the last beat before). The ideal schedule continues from the due time of the last beat "
                + "before the change. Phase error: tap time minus that ideal time, for the first %d beats after "
                + "each change. Shift: the first beat's due time in the rhythm that tapped it, minus its ideal "
                + "time (the schedule's own move, without the wake-up). Lateness elsewhere: the segment's other "
                + "beats, from their own due times. Appended: the metronome's tempo is set in `beat()` of the "
                + "last beat before the change; a phrase's beats are appended in the last `tap()` of the phrase "
                + "before. Restarted: the last `tap()` before the change hands an executor the stop (at a tempo "
                + "change, whose list holds %d more beats at the old tempo), a list whose offsets count from "
                + "`System.nanoTime()` read just before it is made, the set and the start.%n%n",
                PHASE_ROUNDS,
                PhaseCase.BEATS_PER_SEGMENT, PhaseCase.FAST_PERIOD_NANOS / 1_000_000,
                PhaseCase.SLOW_PERIOD_NANOS / 1_000_000, String.join(", ", intervals), PhaseCase.MEASURED_BEATS,
                PhaseCase.EXTRA_BEATS);
    }

    private static void section(StringBuilder out, String heading, Report.ScheduleResult result, String preamble) {
        out.append(heading).append(result.name).append("\n\n").append(preamble).append(Report.table(result))
                .append('\n');
        String scheduling = Report.schedulingLine(result);
        if (!scheduling.isEmpty()) {
            out.append(scheduling).append('\n');
        }
        if (!result.fromT0.isEmpty()) {
            out.append("Lateness from each tapping thread's own t0, without its start-up (where t0 is known):\n\n")
                    .append(Report.fromT0Table(result)).append('\n');
        }
    }

    private static String plural(int count, String noun) {
        return count + " " + noun + (count == 1 ? "" : "s");
    }

    private void requireAtLeast(int value, int min, String option) {
        if (value < min) {
            throw new CommandLine.ParameterException(commandLine,
                    option + " must be at least " + min + ", got " + value);
        }
    }

    /** Cores, CPU model and kernel, such as "2 cores, AMD EPYC, Linux 6.1.0". */
    static String machine() {
        String cpu = "unknown CPU";
        try (Stream<String> lines = Files.lines(Paths.get("/proc/cpuinfo"))) {
            cpu = lines.filter(line -> line.startsWith("model name")).findFirst()
                    .map(line -> line.substring(line.indexOf(':') + 1).trim()).orElse(cpu);
        } catch (IOException | RuntimeException e) {
            // Not Linux, or not readable: the CPU stays unnamed.
        }
        return Runtime.getRuntime().availableProcessors() + " cores, " + cpu + ", "
                + System.getProperty("os.name") + " " + System.getProperty("os.version");
    }

    /** The given path, or the named file in bench/ beside the jar; null with a warning if neither exists. */
    private Path locate(Path given, String fileName) {
        if (given != null) {
            if (!Files.isRegularFile(given)) {
                throw new CommandLine.ParameterException(commandLine, given + " does not exist");
            }
            return given;
        }
        Path candidate = besideJar(fileName);
        if (candidate != null && Files.isRegularFile(candidate)) {
            return candidate;
        }
        log.println("bench: " + fileName + " not found beside the jar; build the bench targets (cmake --build "
                + "<dir>) or name it with its option. Its figures are skipped.");
        log.flush();
        return null;
    }

    private static Path besideJar(String fileName) {
        try {
            Path source = Paths.get(BenchCommand.class.getProtectionDomain().getCodeSource().getLocation().toURI());
            Path dir = Files.isDirectory(source) ? source : source.getParent();
            return dir == null ? null : dir.resolve("bench").resolve(fileName);
        } catch (URISyntaxException | SecurityException | NullPointerException e) {
            return null;
        }
    }
}
