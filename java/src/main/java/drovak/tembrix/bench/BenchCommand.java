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
 * The {@code bench} command: taps the same schedules with the library, the JDK's schedulers and a bare-C floor in
 * alternating rounds, then reports lateness and jitter, a jitter CDF chart, and the micro figures.
 */
@Command(name = "bench", mixinStandardHelpOptions = true,
        description = {"Benchmarks the tapper against java.util.concurrent, java.util.Timer and a bare-C floor.",
            "Writes a Markdown report and a PNG chart of the jitter (drawn headless)."})
public final class BenchCommand implements Callable<Integer> {

    private static final long GRID_MICROS = 3_000;
    private static final long IRREGULAR_MIN_MICROS = 250;
    private static final long IRREGULAR_MAX_MICROS = 6_250;
    private static final int WARM_UP_BEATS = 100;
    private static final long PAUSE_BETWEEN_RUNS_MILLIS = 20;

    @Option(names = "--rounds", paramLabel = "N",
            description = "Alternating rounds of every contender (default: ${DEFAULT-VALUE}).")
    int rounds = 4;

    @Option(names = "--beats", paramLabel = "N", description = "Beats in each schedule (default: ${DEFAULT-VALUE}).")
    int beats = 1000;

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
            beats = 40;
            listSize = 100_000;
            overdueBeats = 20_000;
            stops = 10;
        }
        requireAtLeast(rounds, 1, "--rounds");
        requireAtLeast(beats, 2, "--beats");
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
                new ParkNanosContender(), new ExecutorContender(), new TimerContender()));
        if (floor != null) {
            contenders.add(floor.contender(false));
            contenders.add(floor.contender(true));
        }
        List<Schedule> schedules = List.of(Schedule.steady(beats, GRID_MICROS),
                Schedule.irregular(beats, seed, IRREGULAR_MIN_MICROS, IRREGULAR_MAX_MICROS));

        Instant began = Instant.now();
        // The library prints a line at each setBeatList and startTapper; they would bury the report.
        out.flush();
        System.out.flush();
        boolean muted = JniBaseline.isLoaded() && JniBaseline.muteStdout(true);
        List<Report.ScheduleResult> results;
        MicroFigures micro = new MicroFigures();
        try {
            results = runRounds(contenders, schedules);
            measureMicro(micro, tapper, floor, clockPath);
        } finally {
            if (muted) {
                JniBaseline.muteStdout(false);
            }
        }

        List<CdfChart.Panel> panels = new ArrayList<>();
        for (Report.ScheduleResult result : results) {
            Map<String, long[]> jitter = new LinkedHashMap<>();
            result.stats.forEach((name, stats) -> jitter.put(name, stats.sortedJitter()));
            panels.add(new CdfChart.Panel(result.name + ", " + beats + " beats \u00d7 " + plural(rounds, "round"),
                    jitter));
        }
        CdfChart.write(chart, "Jitter CDF: " + machine(), panels);

        String text = report(results, micro, began);
        Path parent = report.toAbsolutePath().getParent();
        if (parent != null) {
            Files.createDirectories(parent);
        }
        Files.writeString(report, text, StandardCharsets.UTF_8);
        out.print(text);
        out.flush();
        log.println("bench: wrote " + report + " and " + chart);
        log.flush();
        return 0;
    }

    private List<Report.ScheduleResult> runRounds(List<Contender> contenders, List<Schedule> schedules)
            throws Exception {
        Map<Schedule, Map<Contender, List<Contender.Run>>> runs = new LinkedHashMap<>();
        for (Schedule schedule : schedules) {
            Map<Contender, List<Contender.Run>> byContender = new LinkedHashMap<>();
            contenders.forEach(contender -> byContender.put(contender, new ArrayList<>()));
            runs.put(schedule, byContender);
        }
        log.println("bench: warming up");
        log.flush();
        for (Schedule schedule : schedules) {
            for (Contender contender : contenders) {
                contender.run(schedule.prefix(WARM_UP_BEATS));
            }
        }
        int n = contenders.size();
        for (int round = 0; round < rounds; round++) {
            for (Schedule schedule : schedules) {
                log.printf("bench: round %d of %d, %s%n", round + 1, rounds, schedule.name());
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
            });
            results.add(new Report.ScheduleResult(schedule.name(), stats, fromT0, startup));
        }
        return results;
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

    private String report(List<Report.ScheduleResult> results, MicroFigures micro, Instant began) {
        StringBuilder out = new StringBuilder();
        out.append("# tembrix benchmark\n\n");
        out.append("Machine: ").append(machine()).append(". ");
        out.append(System.getProperty("java.vm.name")).append(' ').append(System.getProperty("java.version"))
                .append(". Run at ").append(began.truncatedTo(ChronoUnit.SECONDS)).append(".\n\n");
        out.append(String.format(Locale.ROOT, "%s; in each, every contender taps each schedule of %d beats, "
                + "in an order that rotates from round to round. Times in \u00b5s; lateness counts from each "
                + "contender's start point, jitter is lateness minus the run's minimum.%n%n",
                plural(rounds, "round"), beats));
        for (Report.ScheduleResult result : results) {
            out.append("## ").append(result.name).append("\n\n").append(Report.table(result)).append('\n');
            if (!result.fromT0.isEmpty()) {
                out.append("Lateness from each tapping thread's own t0, without its start-up (where t0 is known):\n\n")
                        .append(Report.fromT0Table(result)).append('\n');
            }
        }
        out.append("## Micro figures\n\n").append(Report.microTable(micro)).append('\n');
        for (String note : micro.notes) {
            out.append("Note: ").append(note).append("\n\n");
        }
        out.append("## Targets\n\n").append(Report.targetTable(Report.targets(results, micro)));
        return out.toString();
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
