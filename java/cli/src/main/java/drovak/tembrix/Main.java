package drovak.tembrix;

import java.io.BufferedReader;
import java.io.BufferedWriter;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.io.OutputStreamWriter;
import java.io.PrintWriter;
import java.io.Writer;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import picocli.CommandLine;
import picocli.CommandLine.Command;
import picocli.CommandLine.Option;
import picocli.CommandLine.ParameterException;

/**
 * The {@code tembrix} command: plays a rhythm through the native library and shows how precisely each tap
 * lands, one line per tap as it happens and a summary at the end.
 *
 * <p>Exit codes: 0 when the rhythm has been played, 1 when the run failed (the native library cannot be loaded,
 * an output file cannot be written), 2 for bad input, with a one-line message on standard error.
 */
@Command(name = "tembrix", mixinStandardHelpOptions = true, versionProvider = Main.Version.class,
        sortOptions = false,
        description = {
            "Plays a rhythm through the tembrix native library and shows how precisely each tap lands: one line "
                    + "per tap as it happens (beat, due time, actual time, lateness), then a summary.",
            "",
            "Give one rhythm: --bpm with --beats or --pattern, --times, or --file. "
                    + "With none, it plays the pattern " + Main.DEFAULT_PATTERN + " at " + Main.DEFAULT_BPM
                    + " BPM. Beat times count from the tapper's start, and so do the times shown; the first may "
                    + "be 0.",
            "",
            "Or --metronome with --bpm: a metronome that beats until Ctrl-C (or --beats beats), with "
                    + "--meter beats a bar and a tempo ramp from --bpm to --ramp-to over --ramp-bars bars. Its "
                    + "times count from the first beat's due time.",
            ""},
        footer = {"", "Exit codes: 0 played, 1 the run failed, 2 bad input."})
public final class Main implements Callable<Integer> {

    /**
     * The rhythm played without options. It begins with a bar of rests: a beat due at the tapper's start would be
     * late by the thread's joining the JVM, which a newcomer would read as the library's accuracy.
     */
    static final String DEFAULT_PATTERN = "....|x..x..x.x.x.xxxx";
    static final int DEFAULT_BPM = 100;
    static final int DEFAULT_SUBDIVISION = 4;

    /** The benchmark's command, {@code tembrix bench}, whose newCommandLine() gives its command line. */
    static final String BENCH_COMMAND = "drovak.tembrix.bench.BenchCommand";

    /** Exit code of a run that could not be done, other than for bad input. */
    static final int EXIT_FAILED = 1;
    /** Exit code for bad input: an unknown option, a malformed value, an unusable rhythm or file. */
    static final int EXIT_BAD_INPUT = 2;

    /** The command line this command runs in: its streams, and the source of its parameter errors. */
    private CommandLine commandLine;

    @Option(names = "--bpm", paramLabel = "N",
            description = "Tempo in beats per minute, for --beats, --pattern and --metronome.")
    private Double bpm;

    @Option(names = "--beats", paramLabel = "K",
            description = "Play a steady pulse of K beats at --bpm; with --metronome, stop after K beats.")
    private Integer beats;

    @Option(names = "--pattern", paramLabel = "STEPS",
            description = "Play a step pattern at --bpm: 'x' taps, '.' rests, one step per character "
                    + "('|' and spaces are ignored), e.g. \"x..x..x.\".")
    private String pattern;

    @Option(names = "--subdivision", paramLabel = "S",
            description = "Steps of --pattern per beat (default: " + DEFAULT_SUBDIVISION + ", sixteenth notes).")
    private Integer subdivision;

    @Option(names = "--times", paramLabel = "SECONDS", split = ",",
            description = "Play beats at these times in seconds, e.g. 0.5,1.0,1.25.")
    private double[] times;

    @Option(names = "--file", paramLabel = "FILE",
            description = "Play the beat times in FILE, one time in seconds per line ('#' starts a comment); "
                    + "'-' reads standard input.")
    private String file;

    @Option(names = "--metronome",
            description = "Play a metronome at --bpm until Ctrl-C, or for --beats beats: the first beat of each "
                    + "bar shows the bar's number and tempo.")
    private boolean metronome;

    @Option(names = "--meter", paramLabel = "B",
            description = "Beats per bar of --metronome (default: " + TempoPlan.DEFAULT_METER + ").")
    private Integer meter;

    @Option(names = "--ramp-to", paramLabel = "N",
            description = "Ramp the --metronome's tempo from --bpm to N BPM in equal steps at each bar line, "
                    + "reaching N after --ramp-bars bars and holding it.")
    private Double rampTo;

    @Option(names = "--ramp-bars", paramLabel = "BARS", description = "How many bars the --ramp-to ramp takes.")
    private Integer rampBars;

    @Option(names = "--precise",
            description = "Precise taps: the tapper thread sleeps until shortly before each beat and spins on the "
                    + "clock for the rest, which costs CPU time.")
    private boolean precise;

    @Option(names = "--csv", paramLabel = "FILE",
            description = "Also write each tap to FILE as CSV: beat, due_ns, actual_ns_from_tapper_start, "
                    + "lateness_ns; times in nanoseconds from the tapper's start. With --metronome: beat, due_ns, "
                    + "actual_ns_from_first_beat, lateness_ns, bar, beat_in_bar, bpm, written as it plays. '-' "
                    + "writes it to standard output, and the tap lines and summary to standard error.")
    private Path csv;

    /** The --csv value that names standard output. */
    static final Path STANDARD_OUTPUT = Path.of("-");

    @Option(names = "--wav", paramLabel = "FILE",
            description = "Also write a click track to FILE (16-bit mono WAV) with a click at each actual tap; "
                    + "at most " + (long) ClickTrack.MAX_SECONDS + " s of them.")
    private Path wav;

    private final InputStream stdin;

    private Main(InputStream stdin) {
        this.stdin = stdin;
    }

    /**
     * Runs the command with standard input, output and error, and exits with its exit code.
     *
     * @param args the command-line arguments
     */
    public static void main(String[] args) {
        Charset charset = Charset.defaultCharset();
        PrintWriter out = new PrintWriter(new OutputStreamWriter(System.out, charset));
        PrintWriter err = new PrintWriter(new OutputStreamWriter(System.err, charset), true);
        int exitCode = run(args, out, err);
        out.flush();
        err.flush();
        System.exit(exitCode);
    }

    /**
     * Runs the command in this process, reading standard input for {@code --file -}.
     *
     * @param args the command-line arguments
     * @param out where the taps, the summary and the help go
     * @param err where error messages go
     * @return the exit code
     */
    public static int run(String[] args, PrintWriter out, PrintWriter err) {
        return commandLine(System.in, out, err).execute(args);
    }

    /**
     * Builds the top-level command with its subcommands, writing to the given streams.
     *
     * @param out where output and help go
     * @param err where error messages go
     * @return the command, ready for {@link CommandLine#execute}
     */
    static CommandLine commandLine(PrintWriter out, PrintWriter err) {
        return commandLine(System.in, out, err);
    }

    static CommandLine commandLine(InputStream in, PrintWriter out, PrintWriter err) {
        Main main = new Main(in);
        CommandLine cmd = new CommandLine(main);
        main.commandLine = cmd;
        // Subcommands go here, before the settings below: picocli applies those
        // only to the subcommands that are already added.
        addBench(cmd);
        cmd.setOut(out);
        cmd.setErr(err);
        cmd.setParameterExceptionHandler(Main::badInput);
        cmd.setExecutionExceptionHandler((e, commandLine, parseResult) -> {
            PrintWriter w = commandLine.getErr();
            w.println(commandLine.getCommandSpec().qualifiedName() + ": " + oneLine(e));
            w.flush();
            return EXIT_FAILED;
        });
        return cmd;
    }

    /**
     * Adds the {@code bench} subcommand where its classes are on the class path: the benchmark is built on this
     * command, and its classes join this command's jar.
     */
    private static void addBench(CommandLine cmd) {
        Class<?> bench;
        try {
            bench = Class.forName(BENCH_COMMAND);
        } catch (ClassNotFoundException e) {
            return; // a build without the benchmark
        }
        try {
            cmd.addSubcommand("bench", (CommandLine) bench.getMethod("newCommandLine").invoke(null));
        } catch (ReflectiveOperationException e) {
            throw new IllegalStateException("cannot set up the bench subcommand: " + oneLine(e), e);
        }
    }

    private static int badInput(ParameterException e, String[] args) {
        CommandLine commandLine = e.getCommandLine();
        String name = commandLine.getCommandSpec().qualifiedName();
        PrintWriter w = commandLine.getErr();
        w.println(name + ": " + oneLine(e) + " (see " + name + " --help)");
        w.flush();
        return EXIT_BAD_INPUT;
    }

    /** The message of an exception on one line, or its class name if it has none. */
    static String oneLine(Throwable e) {
        String message = e.getMessage();
        if (message == null || message.isBlank()) {
            return e.getClass().getSimpleName();
        }
        return message.strip().replaceAll("\\s*\\R\\s*", "; ");
    }

    @Override
    public Integer call() throws IOException, InterruptedException {
        if (!metronome) {
            onlyWithMetronome("--meter", meter);
            onlyWithMetronome("--ramp-to", rampTo);
            onlyWithMetronome("--ramp-bars", rampBars);
        }
        // Both are checked before anything is opened or played.
        TempoPlan plan = metronome ? tempoPlan() : null;
        double[] rhythm = metronome ? null : rhythm();
        if (rhythm != null && wav != null && rhythm[rhythm.length - 1] > ClickTrack.MAX_SECONDS) {
            throw usage(WAV_TOO_LONG);
        }
        PrintWriter out = STANDARD_OUTPUT.equals(csv) ? commandLine.getErr() : commandLine.getOut();
        try (Outputs outputs = openOutputs()) {
            if (plan != null) {
                playMetronome(plan, out, outputs);
            } else {
                new TapSession(rhythm, precise, out, commandLine.getErr()).play(result -> {
                    Report.printSummary(out, result);
                    out.flush();
                    outputs.write(result);
                });
            }
        } catch (LinkageError e) {
            throw new IllegalStateException("cannot load the native tembrix library: " + oneLine(e), e);
        } catch (OutOfMemoryError e) {
            // Also what the library throws when it cannot create its thread.
            throw new IllegalStateException(oneLine(e), e);
        }
        return 0;
    }

    private static final String WAV_TOO_LONG = "--wav holds at most " + (long) ClickTrack.MAX_SECONDS + " s of clicks";

    private void onlyWithMetronome(String option, Object value) {
        if (value != null) {
            throw usage(option + " goes with --metronome");
        }
    }

    /** The metronome's tempo and bars as the user asked for them, checked; throws a ParameterException. */
    private TempoPlan tempoPlan() {
        String other = pattern != null ? "--pattern" : times != null ? "--times" : file != null ? "--file" : null;
        if (other != null) {
            throw usage("give one rhythm, not --metronome and " + other);
        }
        if (subdivision != null) {
            throw usage("--subdivision goes with --pattern");
        }
        if (bpm == null) {
            throw usage("--metronome needs --bpm");
        }
        if (rampTo != null && rampBars == null) {
            throw usage("--ramp-to needs --ramp-bars");
        }
        if (rampBars != null && rampTo == null) {
            throw usage("--ramp-bars needs --ramp-to");
        }
        if (beats != null && beats < 1) {
            throw usage("--beats must be at least 1, got " + beats);
        }
        TempoPlan plan;
        try {
            plan = new TempoPlan(bpm, rampTo, rampBars, meter != null ? meter : TempoPlan.DEFAULT_METER);
        } catch (IllegalArgumentException e) {
            throw usage(e.getMessage());
        }
        if (wav != null && beats != null
                && plan.dueSeconds(beats - 1, ClickTrack.MAX_SECONDS) > ClickTrack.MAX_SECONDS) {
            throw usage(WAV_TOO_LONG);
        }
        return plan;
    }

    /** Plays the metronome; the CSV is written as it plays, the click track at the end. */
    private void playMetronome(TempoPlan plan, PrintWriter out, Outputs outputs)
            throws IOException, InterruptedException {
        PrintWriter err = commandLine.getErr();
        Writer csvWriter = outputs.csvStream == null ? null
                : new BufferedWriter(new OutputStreamWriter(outputs.csvStream, StandardCharsets.US_ASCII));
        long count = beats != null ? beats : MetronomeSession.ENDLESS;
        new MetronomeSession(plan, count, precise, out, err, csvWriter, wav != null).play(result -> {
            Report.printMetronomeSummary(out, result);
            out.flush();
            if (result.clicksCut()) {
                err.println("tembrix: " + wav + " holds the clicks of the first " + (long) ClickTrack.MAX_SECONDS
                        + " s only");
            }
            if (result.clickNanos() != null) {
                outputs.writeClicks(result.clickNanos());
            }
            if (result.csvFailure() != null) {
                throw new IOException("cannot write " + csv + ": " + oneLine(result.csvFailure()),
                        result.csvFailure());
            }
        });
    }

    /** The beat times the user asked for, checked; throws a ParameterException for bad input. */
    private double[] rhythm() {
        List<String> sources = new ArrayList<>();
        if (beats != null) {
            sources.add("--beats");
        }
        if (pattern != null) {
            sources.add("--pattern");
        }
        if (times != null) {
            sources.add("--times");
        }
        if (file != null) {
            sources.add("--file");
        }
        if (sources.size() > 1) {
            throw usage("give one rhythm, not " + String.join(" and ", sources));
        }
        String source = sources.isEmpty() ? null : sources.get(0);
        if (bpm != null && source == null) {
            throw usage("--bpm needs --beats or --pattern");
        }
        if (bpm != null && (times != null || file != null)) {
            throw usage("--bpm goes with --beats or --pattern, not " + source);
        }
        if (subdivision != null && pattern == null) {
            throw usage("--subdivision goes with --pattern");
        }
        if ((beats != null || pattern != null) && bpm == null) {
            throw usage(source + " needs --bpm");
        }
        try {
            if (source == null) {
                return Rhythm.pattern(DEFAULT_PATTERN, DEFAULT_BPM, DEFAULT_SUBDIVISION);
            } else if (beats != null) {
                return Rhythm.steady(bpm, beats);
            } else if (pattern != null) {
                return Rhythm.pattern(pattern, bpm, subdivision != null ? subdivision : DEFAULT_SUBDIVISION);
            } else if (times != null) {
                return Rhythm.times(times, "--times");
            } else {
                return readFile();
            }
        } catch (IllegalArgumentException e) {
            throw usage(e.getMessage());
        }
    }

    private double[] readFile() {
        boolean isStdin = file.equals("-");
        String name = isStdin ? "standard input" : file;
        try (BufferedReader reader = isStdin
                ? new BufferedReader(new InputStreamReader(stdin, Charset.defaultCharset()))
                : Files.newBufferedReader(Path.of(file), StandardCharsets.UTF_8)) {
            return Rhythm.read(reader, name);
        } catch (NoSuchFileException e) {
            throw usage("cannot read --file " + name + ": no such file");
        } catch (AccessDeniedException e) {
            throw usage("cannot read --file " + name + ": permission denied");
        } catch (IOException | java.nio.file.InvalidPathException e) {
            throw usage("cannot read --file " + name + ": " + oneLine(e));
        }
    }

    /** Opens the output files before the run, so that a bad path is reported before the rhythm is played. */
    private Outputs openOutputs() {
        Outputs outputs = new Outputs(csv, wav);
        try {
            if (STANDARD_OUTPUT.equals(csv)) {
                outputs.csvStream = new WriterStream(commandLine.getOut());
            } else if (csv != null) {
                outputs.csvStream = open(csv);
            }
            if (wav != null) {
                outputs.wavStream = open(wav);
            }
        } catch (ParameterException e) {
            outputs.close();
            throw e;
        }
        return outputs;
    }

    private OutputStream open(Path path) {
        try {
            return Files.newOutputStream(path);
        } catch (NoSuchFileException e) {
            throw usage("cannot write " + path + ": no such directory");
        } catch (AccessDeniedException e) {
            throw usage("cannot write " + path + ": permission denied");
        } catch (IOException e) {
            throw usage("cannot write " + path + ": " + oneLine(e));
        }
    }

    private ParameterException usage(String message) {
        return new ParameterException(commandLine, message);
    }

    /** The optional output files, open from before the run until after it. */
    private static final class Outputs implements AutoCloseable {
        private final Path csv;
        private final Path wav;
        OutputStream csvStream;
        OutputStream wavStream;

        Outputs(Path csv, Path wav) {
            this.csv = csv;
            this.wav = wav;
        }

        void write(TapSession.Result result) throws IOException {
            if (csvStream != null) {
                try {
                    Report.writeCsv(result, csvStream);
                } catch (IOException e) {
                    throw new IOException("cannot write " + csv + ": " + oneLine(e), e);
                }
            }
            writeClicks(result.actualNanos());
        }

        /** Writes the click track, if one was asked for. */
        void writeClicks(long[] clickNanos) throws IOException {
            if (wavStream != null) {
                try {
                    ClickTrack.write(clickNanos, wavStream);
                } catch (IOException e) {
                    throw new IOException("cannot write " + wav + ": " + oneLine(e), e);
                }
            }
        }

        @Override
        public void close() {
            for (OutputStream stream : new OutputStream[] {csvStream, wavStream}) {
                if (stream != null) {
                    try {
                        stream.close();
                    } catch (IOException ignored) {
                        // A failed write has been reported already.
                    }
                }
            }
        }
    }

    /** Standard output as the command has it (a writer), for the CSV; closing it only flushes. */
    private static final class WriterStream extends OutputStream {
        private final PrintWriter writer;

        WriterStream(PrintWriter writer) {
            this.writer = writer;
        }

        @Override
        public void write(int b) {
            writer.write(b);
        }

        @Override
        public void write(byte[] bytes, int offset, int length) {
            // The CSV is ASCII: each byte is one character.
            writer.write(new String(bytes, offset, length, StandardCharsets.US_ASCII));
        }

        @Override
        public void flush() {
            writer.flush();
        }

        @Override
        public void close() {
            writer.flush();
        }
    }

    /** The version from the jar's manifest. */
    static final class Version implements CommandLine.IVersionProvider {
        @Override
        public String[] getVersion() {
            String version = Main.class.getPackage().getImplementationVersion();
            return new String[] {"tembrix " + (version != null ? version : "(development build)")};
        }
    }
}
