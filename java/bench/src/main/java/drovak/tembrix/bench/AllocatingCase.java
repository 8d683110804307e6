package drovak.tembrix.bench;

import drovak.tembrix.Stats;
import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.LinkedHashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;

/**
 * The allocating case: {@link AllocatingTap} in child JVMs, one per run, so that each runs with its own garbage
 * collector, CPUs and privilege. Settings: G1 and Shenandoah, on one CPU and on two ({@code taskset}), with
 * {@code -Xmx256m}; each with real-time scheduling granted (as this JVM has it) and refused ({@code prlimit} to an
 * rtprio limit of 0 and {@code setpriv} to drop {@code CAP_SYS_NICE}). The rounds run every setting and privilege
 * once, in an order that rotates from round to round.
 */
final class AllocatingCase {

    static final int DEFAULT_BEATS = 2_500;
    static final long PERIOD_MICROS = 2_000;
    static final String HEAP = "-Xmx256m";
    static final List<String> REFUSE = List.of("prlimit", "--rtprio=0:0", "setpriv", "--bounding-set=-sys_nice",
            "--inh-caps=-sys_nice");
    /** Where setpriv cannot drop the capability (not root): the rtprio limit alone, which any user may lower. */
    static final List<String> REFUSE_BY_LIMIT = List.of("prlimit", "--rtprio=0:0");

    /** How long a child may take beyond its own deadline (its beats and 20 s of grace) before it counts as hung. */
    private static final long CHILD_MARGIN_MILLIS = 40_000;
    private static final long PROBE_MILLIS = 30_000;

    /** The garbage collectors compared. */
    enum Gc {
        G1("G1", "-XX:+UseG1GC"),
        SHENANDOAH("Shenandoah", "-XX:+UseShenandoahGC");

        final String label;
        final String option;

        Gc(String label, String option) {
            this.label = label;
            this.option = option;
        }
    }

    /** Real-time scheduling as this JVM has it, or taken away. */
    enum Privilege {
        GRANTED("real-time granted"),
        REFUSED("real-time refused");

        final String label;

        Privilege(String label) {
            this.label = label;
        }
    }

    /** A collector on a set of CPUs. */
    static final class Setting {
        final Gc gc;
        final int cpuCount;
        /** The CPUs for taskset -c, such as "0" or "0,1". */
        final String cpus;

        Setting(Gc gc, int cpuCount, String cpus) {
            this.gc = gc;
            this.cpuCount = cpuCount;
            this.cpus = cpus;
        }

        String name() {
            return gc.label + ", " + (cpuCount == 1 ? "one CPU" : cpuCount == 2 ? "two CPUs" : cpuCount + " CPUs");
        }
    }

    /** One child's outcome. */
    static final class Run {
        final boolean realTime;
        final int beats;
        final long[] lateness;

        Run(boolean realTime, int beats, long[] lateness) {
            this.realTime = realTime;
            this.beats = beats;
            this.lateness = lateness;
        }
    }

    /** The runs of one setting with one privilege, or why there are none. */
    static final class Cell {
        final List<Run> runs = new ArrayList<>();
        String skipped;

        /** The lateness of every run, pooled; null if no beat was tapped. */
        Stats stats() {
            List<long[]> all = new ArrayList<>();
            int total = 0;
            for (Run run : runs) {
                all.add(run.lateness);
                total += run.lateness.length;
            }
            if (total == 0) {
                return null;
            }
            long[] pooled = new long[total];
            int at = 0;
            for (long[] lateness : all) {
                System.arraycopy(lateness, 0, pooled, at, lateness.length);
                at += lateness.length;
            }
            return Stats.of(pooled);
        }

        int realTimeRuns() {
            return (int) runs.stream().filter(run -> run.realTime).count();
        }

        int missedBeats() {
            return runs.stream().mapToInt(run -> run.beats - run.lateness.length).sum();
        }
    }

    /** Everything the report needs. */
    static final class Results {
        final int rounds;
        final int beats;
        final Map<Setting, Map<Privilege, Cell>> cells = new LinkedHashMap<>();
        /** Why a privilege was not run at all, for each privilege that was not. */
        final Map<Privilege, String> skipped = new LinkedHashMap<>();
        /** The CPUs of one and of two, as taskset -c takes them. */
        String oneCpu = "0";
        String twoCpus = "0,1";
        /** How the refused runs were started, as a command prefix. */
        List<String> refusePrefix = REFUSE;
        /** Settings not run, with the reason. */
        final Map<String, String> skippedSettings = new LinkedHashMap<>();
        /** What the children said besides their result, once each. */
        final Set<String> childOutput = new LinkedHashSet<>();

        Results(int rounds, int beats) {
            this.rounds = rounds;
            this.beats = beats;
        }

        Cell cell(Setting setting, Privilege privilege) {
            return cells.computeIfAbsent(setting, s -> new LinkedHashMap<>())
                    .computeIfAbsent(privilege, p -> new Cell());
        }
    }

    private final PrintWriter log;
    private final int rounds;
    private final int beats;
    private final long settleMillis;

    /**
     * @param log where progress goes
     * @param rounds how many times each setting runs with each privilege
     * @param beats beats of each run, at 2 ms
     * @param settleMillis how long each child churns its heap before it starts tapping
     */
    AllocatingCase(PrintWriter log, int rounds, int beats, long settleMillis) {
        this.log = log;
        this.rounds = rounds;
        this.beats = beats;
        this.settleMillis = settleMillis;
    }

    /**
     * Runs every setting with each privilege that can be had here.
     *
     * @param realTimeHere whether the library got real-time scheduling in this JVM; without it, "granted" cannot
     *     be had in a child either, and is not run
     */
    Results run(boolean realTimeHere) throws IOException, InterruptedException {
        Results results = new Results(rounds, beats);
        List<Setting> settings = settings(results);
        if (!realTimeHere) {
            results.skipped.put(Privilege.GRANTED, "real-time scheduling is refused to this process, so it cannot "
                    + "be granted to a child either: the library needs an rtprio limit of 2 or more or "
                    + "CAP_SYS_NICE (root has both)");
        }
        String refusal = chooseRefusal(results);
        if (refusal != null) {
            results.skipped.put(Privilege.REFUSED, refusal);
        }
        List<Setting> runnable = new ArrayList<>();
        List<Privilege> privileges = new ArrayList<>();
        for (Setting setting : settings) {
            for (Privilege privilege : Privilege.values()) {
                Cell cell = results.cell(setting, privilege);
                cell.skipped = results.skipped.get(privilege);
                if (cell.skipped == null) {
                    runnable.add(setting);
                    privileges.add(privilege);
                }
            }
        }
        int n = runnable.size();
        for (int round = 0; round < rounds; round++) {
            for (int k = 0; k < n; k++) {
                int at = (k + round) % n;
                Setting setting = runnable.get(at);
                Privilege privilege = privileges.get(at);
                log.printf("bench: allocating tap(), round %d of %d, %s, %s%n", round + 1, rounds, setting.name(),
                        privilege.label);
                log.flush();
                results.cell(setting, privilege).runs.add(runChild(command(setting, privilege, results), results));
            }
        }
        return results;
    }

    /** The settings this machine and JVM allow; the others are noted in the results with the reason. */
    private List<Setting> settings(Results results) throws InterruptedException {
        List<Setting> settings = new ArrayList<>();
        List<Integer> cpus = allowedCpus();
        boolean shenandoah = probe(List.of(java(), Gc.SHENANDOAH.option, "-version"));
        results.oneCpu = cpuList(cpus, 1);
        results.twoCpus = cpuList(cpus, 2);
        boolean taskset = probe(List.of("taskset", "-c", results.oneCpu, "true"));
        for (Gc gc : Gc.values()) {
            for (int count = 1; count <= 2; count++) {
                Setting setting = new Setting(gc, count, cpuList(cpus, count));
                if (!taskset) {
                    results.skippedSettings.put(setting.name(), "taskset (util-linux) cannot run here");
                } else if (gc == Gc.SHENANDOAH && !shenandoah) {
                    results.skippedSettings.put(setting.name(), "this JVM has no Shenandoah collector");
                } else if (cpus.size() < count) {
                    results.skippedSettings.put(setting.name(), "this process may use " + cpus.size() + " CPU");
                } else {
                    settings.add(setting);
                }
            }
        }
        return settings;
    }

    /** Picks how to refuse real-time; returns why it cannot be refused, or null. */
    private String chooseRefusal(Results results) throws InterruptedException {
        List<String> full = new ArrayList<>(REFUSE);
        full.add("true");
        if (probe(full)) {
            results.refusePrefix = REFUSE;
            return null;
        }
        List<String> limit = new ArrayList<>(REFUSE_BY_LIMIT);
        limit.add("true");
        if (probe(limit)) {
            results.refusePrefix = REFUSE_BY_LIMIT;
            return null;
        }
        return "prlimit and setpriv (util-linux) are missing or cannot lower the limits here";
    }

    /** The command line of one child. */
    List<String> command(Setting setting, Privilege privilege, Results results) {
        List<String> command = new ArrayList<>(List.of("taskset", "-c", setting.cpus));
        if (privilege == Privilege.REFUSED) {
            command.addAll(results.refusePrefix);
        }
        command.add(java());
        command.addAll(childJvmOptions());
        command.add(setting.gc.option);
        command.add(HEAP);
        command.add("-cp");
        command.add(System.getProperty("java.class.path"));
        command.add(AllocatingTap.class.getName());
        command.add(Integer.toString(beats));
        command.add(Long.toString(PERIOD_MICROS));
        command.add(Long.toString(settleMillis));
        return command;
    }

    /**
     * Options every child JVM gets: native access on a JVM that knows the option (17 and later; from 24 on, a
     * library load without it is warned about), and the library this JVM loaded, where a property named it.
     */
    static List<String> childJvmOptions() {
        List<String> options = new ArrayList<>();
        if (Runtime.version().feature() >= 17) {
            options.add("--enable-native-access=ALL-UNNAMED");
        }
        String library = System.getProperty("tembrix.library.path");
        if (library != null) {
            options.add("-Dtembrix.library.path=" + library);
        }
        return options;
    }

    private Run runChild(List<String> command, Results results) throws IOException, InterruptedException {
        Path output = Files.createTempFile("tembrix-bench-alloc-", ".txt");
        Process process = new ProcessBuilder(command).redirectErrorStream(true).redirectOutput(output.toFile())
                .start();
        try {
            long timeout = beats * PERIOD_MICROS / 1_000 + settleMillis + CHILD_MARGIN_MILLIS;
            if (!process.waitFor(timeout, TimeUnit.MILLISECONDS)) {
                throw new IllegalStateException("the allocating case did not finish within " + timeout + " ms: "
                        + String.join(" ", command));
            }
            String text = Files.readString(output, StandardCharsets.UTF_8);
            if (process.exitValue() != 0) {
                throw new IllegalStateException("the allocating case failed with status " + process.exitValue()
                        + ": " + String.join(" ", command) + "\n" + text.strip());
            }
            return parse(text, results.childOutput);
        } finally {
            process.destroyForcibly();
            Files.deleteIfExists(output);
        }
    }

    /**
     * Reads a child's output: its result line, and any other line besides the library's own two into
     * {@code other}.
     *
     * @throws IllegalStateException if there is no well-formed result line
     */
    static Run parse(String output, Set<String> other) {
        Run run = null;
        for (String line : output.split("\\R")) {
            if (line.startsWith(AllocatingTap.PREFIX)) {
                run = parseResult(line.substring(AllocatingTap.PREFIX.length()));
            } else if (!line.isBlank() && !line.equals("Set beat list native")
                    && !line.strip().equals("Start native tapping")) {
                other.add(line.strip());
            }
        }
        if (run == null) {
            throw new IllegalStateException("the allocating case printed no result: " + output.strip());
        }
        return run;
    }

    private static Run parseResult(String fields) {
        Map<String, String> values = new LinkedHashMap<>();
        for (String field : fields.trim().split(" ")) {
            int eq = field.indexOf('=');
            if (eq > 0) {
                values.put(field.substring(0, eq), field.substring(eq + 1));
            }
        }
        try {
            String realTime = values.get("real_time");
            int taps = Integer.parseInt(values.get("taps"));
            int beats = Integer.parseInt(values.get("beats"));
            String list = values.get("lateness_ns");
            if (realTime == null || list == null) {
                throw new IllegalStateException("a field is missing");
            }
            String[] cells = list.isEmpty() ? new String[0] : list.split(",");
            if (cells.length != taps || taps > beats) {
                throw new IllegalStateException(cells.length + " lateness values for " + taps + " taps of " + beats);
            }
            long[] lateness = new long[taps];
            for (int i = 0; i < taps; i++) {
                lateness[i] = Long.parseLong(cells[i]);
            }
            return new Run(Boolean.parseBoolean(realTime), beats, lateness);
        } catch (RuntimeException e) {
            throw new IllegalStateException("malformed result of the allocating case (" + e.getMessage() + "): "
                    + fields, e);
        }
    }

    private static String java() {
        return Paths.get(System.getProperty("java.home"), "bin", "java").toString();
    }

    /** Whether the command runs and succeeds. */
    private static boolean probe(List<String> command) throws InterruptedException {
        try {
            Process process = new ProcessBuilder(command).redirectErrorStream(true)
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).start();
            if (!process.waitFor(PROBE_MILLIS, TimeUnit.MILLISECONDS)) {
                process.destroyForcibly();
                return false;
            }
            return process.exitValue() == 0;
        } catch (IOException e) {
            return false;
        }
    }

    /** The CPUs this process may run on, from /proc/self/status; empty where that cannot be read. */
    static List<Integer> allowedCpus() {
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"), StandardCharsets.US_ASCII)) {
                if (line.startsWith("Cpus_allowed_list:")) {
                    return parseCpuList(line.substring("Cpus_allowed_list:".length()).trim());
                }
            }
        } catch (IOException | RuntimeException e) {
            // Not Linux: taskset is not there either.
        }
        return List.of();
    }

    /** A kernel CPU list such as "0-3,8,10-11", in order. */
    static List<Integer> parseCpuList(String list) {
        List<Integer> cpus = new ArrayList<>();
        for (String part : list.split(",")) {
            if (part.isBlank()) {
                continue;
            }
            int dash = part.indexOf('-');
            int from = Integer.parseInt(part.substring(0, dash < 0 ? part.length() : dash).trim());
            int to = dash < 0 ? from : Integer.parseInt(part.substring(dash + 1).trim());
            for (int cpu = from; cpu <= to; cpu++) {
                cpus.add(cpu);
            }
        }
        return cpus;
    }

    private static String cpuList(List<Integer> cpus, int count) {
        if (cpus.isEmpty()) {
            return count == 1 ? "0" : "0,1";
        }
        List<String> first = new ArrayList<>();
        for (int i = 0; i < Math.min(count, cpus.size()); i++) {
            first.add(cpus.get(i).toString());
        }
        return String.join(",", first);
    }
}
