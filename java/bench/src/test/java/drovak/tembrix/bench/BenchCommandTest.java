package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import drovak.tembrix.Main;
import java.io.PrintWriter;
import java.io.StringWriter;
import java.nio.file.Files;
import java.nio.file.Path;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import picocli.CommandLine;

class BenchCommandTest {

    private final StringWriter err = new StringWriter();

    private int run(String... args) {
        CommandLine cmd = BenchCommand.newCommandLine();
        cmd.setErr(new PrintWriter(err, true));
        cmd.setOut(new PrintWriter(new StringWriter(), true));
        return cmd.execute(args);
    }

    @Test
    void rejectsSizesTooSmallBeforeRunningAnything(@TempDir Path dir) {
        Path report = dir.resolve("report.md");
        // As scripts/bench calls it: its own --report first, the user's after it.
        assertEquals(CommandLine.ExitCode.USAGE, run("--report=" + dir.resolve("default.md"), "--rounds=0",
                "--report=" + report));
        assertTrue(err.toString().contains("--rounds must be at least 1, got 0"), err.toString());
        assertEquals(CommandLine.ExitCode.USAGE, run("--beats=1", "--report=" + report));
        assertTrue(err.toString().contains("--beats must be at least 2"), err.toString());
        assertFalse(Files.exists(report), "nothing ran");
    }

    @Test
    void namesAHelperProgramThatDoesNotExist(@TempDir Path dir) {
        Path missing = dir.resolve("no-such-floor");
        assertEquals(CommandLine.ExitCode.USAGE, run("--smoke", "--floor=" + missing));
        assertTrue(err.toString().contains(missing + " does not exist"), err.toString());
    }

    @Test
    void theTembrixCommandFindsItAsItsBenchSubcommand() {
        StringWriter out = new StringWriter();
        int exitCode = Main.run(new String[] {"bench", "--help"}, new PrintWriter(out, true),
                new PrintWriter(err, true));
        assertEquals(0, exitCode, err.toString());
        assertTrue(out.toString().contains("--rounds"), out.toString());
    }

    @Test
    void machineNamesCoresAndKernel() {
        String machine = BenchCommand.machine();
        assertTrue(machine.startsWith(Runtime.getRuntime().availableProcessors() + " cores, "), machine);
        assertTrue(machine.endsWith(System.getProperty("os.version")), machine);
    }
}
