package drovak.tembrix.bench;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** Runs the bare-C floor program as a subprocess. */
final class Floor {

    private final Path program;

    Floor(Path program) {
        this.program = program;
    }

    /** The contender that taps a schedule in the floor program, with default or 1 ns timer slack. */
    Contender contender(boolean minimalSlack) {
        return contender(minimalSlack, false);
    }

    /**
     * The contender that taps a schedule in the floor program with 1 ns timer slack, its thread asking for
     * real-time scheduling as the library's does.
     */
    Contender realTimeContender() {
        return contender(true, true);
    }

    private Contender contender(boolean minimalSlack, boolean realTime) {
        return new Contender() {
            @Override
            public String name() {
                return realTime ? Report.FLOOR_REAL_TIME : minimalSlack ? Report.FLOOR_MINIMAL : Report.FLOOR_DEFAULT;
            }

            @Override
            public Run run(Schedule schedule) throws IOException, InterruptedException {
                Path offsets = Files.createTempFile("tembrix-bench-offsets-", ".txt");
                try {
                    StringBuilder text = new StringBuilder(schedule.size() * 12);
                    for (long offset : schedule.offsetsNanos()) {
                        text.append(offset).append('\n');
                    }
                    Files.writeString(offsets, text);
                    List<String> arguments = new ArrayList<>(List.of("schedule", minimalSlack ? "1" : "default"));
                    if (realTime) {
                        arguments.add("rt");
                    }
                    String output = execute(Contender.timeoutMillis(schedule), offsets,
                            arguments.toArray(new String[0]));
                    FloorOutput.ScheduleRun run = FloorOutput.parseSchedule(output, schedule.size());
                    return new Run(run.lateness, run.t0Nanos, true,
                            realTime ? Scheduling.ofPolicy(run.policy) : null, run.cpuNanos);
                } finally {
                    Files.deleteIfExists(offsets);
                }
            }
        };
    }

    /** An overdue run of the given number of beats, with or without the failing nanosleep call per beat. */
    FloorOutput.OverdueRun overdue(int beats, boolean syscall) throws IOException, InterruptedException {
        return FloorOutput.parseOverdue(execute(60_000, null, "overdue", Integer.toString(beats),
                syscall ? "syscall" : "nosyscall"));
    }

    /**
     * Durations of stopping and joining a sleeping thread, with no JVM, in nanoseconds: cancelling it in
     * nanosleep as the library does, or waking it from a condition variable wait.
     */
    long[] stops(int count, boolean condvar) throws IOException, InterruptedException {
        return FloorOutput.parseStops(execute(60_000, null, "stop", Integer.toString(count),
                condvar ? "condvar" : "cancel"));
    }

    private String execute(long timeoutMillis, Path input, String... arguments)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>();
        command.add(program.toString());
        command.addAll(List.of(arguments));
        ProcessBuilder builder = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.INHERIT);
        if (input != null) {
            builder.redirectInput(input.toFile());
        }
        Process process = builder.start();
        String output;
        try (InputStream in = process.getInputStream()) {
            output = new String(in.readAllBytes(), StandardCharsets.US_ASCII);
        }
        if (!process.waitFor(timeoutMillis, TimeUnit.MILLISECONDS)) {
            process.destroyForcibly();
            throw new IllegalStateException(program + " did not finish within " + timeoutMillis + " ms");
        }
        if (process.exitValue() != 0) {
            throw new IllegalStateException(program + " " + String.join(" ", arguments) + " failed with status "
                    + process.exitValue());
        }
        return output;
    }
}
