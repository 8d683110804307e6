package drovak.android;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.net.URISyntaxException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Runs whole JVMs, to see how the library behaves at JVM exit and at load time. */
class ProcessTest {

    /**
     * The java command line of child JVMs when the tests run in an emulated JVM (qemu-user), from
     * -Dtembrix.test.java: the host cannot start the emulated java by itself.
     */
    static final String EMULATED_JAVA = System.getProperty("tembrix.test.java");

    /** Whether the tests run in a Windows JVM under Wine (scripts/windows-jvm), from -Dtembrix.test.wine. */
    static final boolean WINE = Boolean.getBoolean("tembrix.test.wine");

    /**
     * How many times longer a child JVM may take under emulation, where starting a JVM alone takes seconds, or
     * under Wine, where it takes a second or two: the bounds of the tests that wait for one are widened by this
     * much.
     */
    static final int EMULATION_SLOWDOWN = EMULATED_JAVA != null ? 6 : WINE ? 3 : 1;

    static boolean emulated() {
        return EMULATED_JAVA != null;
    }

    static final class Result {
        final int exitCode;
        final String output;

        Result(int exitCode, String output) {
            this.exitCode = exitCode;
            this.output = output;
        }
    }

    static Result runJvm(String classPath, String... args) throws IOException, InterruptedException {
        return runJvm(List.of(), null, classPath, args);
    }

    /** Runs a JVM under a command such as setpriv, in the given working directory (null: this one's). */
    static Result runJvm(List<String> prefix, File directory, String classPath, String... args)
            throws IOException, InterruptedException {
        List<String> command = new ArrayList<>(prefix);
        command.addAll(javaCommand(classPath, args));
        int exitCode;
        // The output goes to a file: a pipe that nobody reads until the exit would hold up a child that writes
        // more than the pipe takes (under Wine, much less than Linux's 64 KB).
        Path log = Files.createTempFile("child-jvm", ".log");
        String output;
        try {
            Process process = new ProcessBuilder(command).directory(directory).redirectErrorStream(true)
                    .redirectOutput(log.toFile()).start();
            process.getOutputStream().close();
            boolean exited = process.waitFor(20L * EMULATION_SLOWDOWN, TimeUnit.SECONDS);
            output = new String(Files.readAllBytes(log), StandardCharsets.UTF_8);
            if (!exited) {
                process.destroyForcibly();
                throw new AssertionError("JVM did not exit by itself: " + command + "\n" + output);
            }
            exitCode = process.exitValue();
        } finally {
            if (!log.toFile().delete()) {
                log.toFile().deleteOnExit(); // Windows: a handle to it may outlive the child a moment
            }
        }
        assertFalse(output.contains("WARNING in native method"), output);
        assertFalse(output.contains("FATAL ERROR"), output);
        return new Result(exitCode, output);
    }

    /**
     * The command line of a JVM like this one, under -Xcheck:jni. On JDK 24 and later the class path may load the
     * library without a warning, unless the arguments set native access themselves.
     */
    static List<String> javaCommand(String classPath, String... args) {
        List<String> command = new ArrayList<>(emulated() ? List.of(EMULATED_JAVA.trim().split("\\s+"))
                : List.of(ProcessHandle.current().info().command().orElse("java")));
        command.addAll(List.of("-Xcheck:jni", "-cp", classPath));
        if (Runtime.version().feature() >= 24 && Arrays.stream(args).noneMatch(a -> a.contains("-native-access="))) {
            command.add("--enable-native-access=ALL-UNNAMED");
        }
        command.addAll(Arrays.asList(args));
        return command;
    }

    static Result runChild(String scenario) throws IOException, InterruptedException {
        return runJvm(System.getProperty("tembrix.test.classpath"), ChildMain.class.getName(), scenario);
    }

    @Test
    void theJvmExitsAfterAStopMidSleep() throws Exception {
        Result r = runChild("stop-mid-sleep");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("stopped"), r.output);
    }

    @Test
    void theJvmWaitsForTheRhythmWhenMainReturnsRightAfterStart() throws Exception {
        Result r = runChild("return-after-start");
        assertEquals(0, r.exitCode, r.output);
        assertEquals("Set beat list native\nStart native tapping \nmain returned\ntap\ntap\n",
                r.output.replace("\r", ""), "the two lines come in order, and both taps before exit");
    }

    @Test
    void aFailedLoadNamesThePlatformAndWhatWasTried() throws Exception {
        // The classes alone, without the jar and its bundled library.
        String classPath = System.getProperty("tembrix.test.classes") + File.pathSeparator + testClasses();
        Result r = runJvm(classPath, "-Djava.library.path=/nonexistent", ChildMain.class.getName(), "loaded-from");
        assertTrue(r.output.contains("UnsatisfiedLinkError"), r.output);
        assertTrue(r.output.contains(System.getProperty("os.name")), r.output);
        assertTrue(r.output.contains("loadLibrary"), r.output);
        assertTrue(r.output.contains("bundled"), r.output);
    }

    @Test
    void anExplicitLibraryThatFailsToLoadIsAnErrorWithoutFallback() throws Exception {
        Result r = runJvm(System.getProperty("tembrix.test.classpath"),
                "-D" + Tapper.LIBRARY_PATH_PROPERTY + "=/nonexistent/libtembrix.so",
                ChildMain.class.getName(), "loaded-from");
        assertTrue(r.output.contains("UnsatisfiedLinkError: cannot load the tembrix native library "
                + Path.of("/nonexistent/libtembrix.so").toAbsolutePath()), r.output);
        assertTrue(r.output.contains("no such file"), "the reason: " + r.output);
        assertFalse(r.output.contains("libtembrix-"), "the jar's copy was loaded instead: " + r.output);
        assertTrue(r.exitCode != 0, r.output);
    }

    @Test
    void aJvmExitingFromTapCompletesItsExitWhenAHookStopsTheTapper() throws Exception {
        for (String scenario : List.of("exit-from-tap-hook-stops", "exit-from-tap-hook-closes")) {
            Result r = runChild(scenario);
            assertEquals(0, r.exitCode, scenario + ": " + r.output);
            assertTrue(r.output.contains("hook stopped the tapper"), scenario + ": " + r.output);
        }
    }

    @Test
    void aHookStoppingDuringASlowTapStillWaitsForIt() throws Exception {
        Result r = runChild("exit-while-tap-is-slow");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("tap had returned when the stop did: true"), r.output);
    }

    @Test
    void anExceptionFromTapGoesToTheUncaughtExceptionHandler() throws Exception {
        Result r = runChild("uncaught");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("the handler threw"), "a throwing handler is reported: " + r.output);
        assertTrue(r.output.matches("(?s).*handler got \"thrown from tap\" from Thread-\\d+ in group main.*"),
                r.output);
        assertFalse(r.output.contains("IllegalArgumentException"), "handled, not printed: " + r.output);
    }

    @Test
    void theLibraryLoadsFromAnExplicitPathFirstAndElseFromTheJar(@TempDir Path dir) throws Exception {
        Path copy = dir.resolve("libtembrix.so");
        Files.copy(Path.of(System.getProperty("tembrix.test.library")), copy);
        Result explicit = runJvm(System.getProperty("tembrix.test.classpath"),
                "-D" + Tapper.LIBRARY_PATH_PROPERTY + "=" + copy, ChildMain.class.getName(), "loaded-from");
        assertEquals(0, explicit.exitCode, explicit.output);
        assertTrue(explicit.output.contains(copy.toString()), explicit.output);

        Result bundled = runChild("loaded-from");
        assertEquals(0, bundled.exitCode, bundled.output);
        assertTrue(bundled.output.contains("tembrix-"), "extracted from the jar: " + bundled.output);
    }

    @Test
    void aCallersOwnMinimalTapperClassWorksAsBefore() throws Exception {
        String classPath = System.getProperty("tembrix.test.own-tapper");
        String library = "-Dtembrix.test.library=" + System.getProperty("tembrix.test.library");
        Result taps = runJvm(classPath, library, "drovak.android.OwnTapperMain", "taps");
        assertEquals(0, taps.exitCode, taps.output);
        assertEquals("Set beat list native\nStart native tapping \ncontext loader is the Tapper's: true\n"
                + "handled thrown from tap\ndone\n", taps.output.replace("\r", ""));

        Result exit = runJvm(classPath, library, "drovak.android.OwnTapperMain", "exit-from-tap-hook-stops");
        assertEquals(0, exit.exitCode, exit.output);
        assertTrue(exit.output.contains("hook stopped the tapper"), exit.output);
    }

    private static String testClasses() throws URISyntaxException {
        return Path.of(ProcessTest.class.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }
}
