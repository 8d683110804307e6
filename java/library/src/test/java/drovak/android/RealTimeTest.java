package drovak.android;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The tapper thread's real-time scheduling, granted and refused, each in a child JVM under -Xcheck:jni. */
class RealTimeTest {

    private static final String LIBRARY_LINES = "Set beat list native\nStart native tapping \n";

    @Test
    void refusedTheThreadTapsEveryBeatAsUsualAndNothingMoreIsPrinted(@TempDir Path dir) throws Exception {
        assumeTrue(isRoot(), "needs root to run the child JVM as another user");
        // As nobody, with no capability and an rtprio limit of 0: the desktop user's lot. The child
        // cannot read this build's folders, so it gets copies in a folder anyone may read.
        ProcessTest.Result r = ProcessTest.runJvm(asNobody(), dir.toFile(),
                copyForAnyone(dir), tmpdirForAnyone(dir),
                RealTimeChild.class.getName(), "policy");
        assertEquals(0, r.exitCode, r.output);
        assertEquals(LIBRARY_LINES + "tapper normal (SCHED_OTHER), isRealTime false\n"
                + "child process normal (SCHED_OTHER)\ntaps 20 of 20\n", r.output.replace("\r", ""));
    }

    @Test
    void grantedTheThreadRunsFifoAndAProcessItStartsDoesNot() throws Exception {
        assumeTrue(ThreadPolicy.processMayUseRealTime(), "needs CAP_SYS_NICE or an rtprio limit of 2");
        ProcessTest.Result r = ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"),
                RealTimeChild.class.getName(), "policy");
        assertEquals(0, r.exitCode, r.output);
        assertEquals(LIBRARY_LINES + "tapper real-time (SCHED_FIFO, priority 1), isRealTime true\n"
                + "child process normal (SCHED_OTHER)\ntaps 20 of 20\n", r.output.replace("\r", ""));
    }

    @Test
    void aTapSpinningASecondAtRealTimePriorityStarvesNoOtherThreadAndCanBeStopped() throws Exception {
        assumeTrue(ThreadPolicy.processMayUseRealTime(), "needs CAP_SYS_NICE or an rtprio limit of 2");
        ProcessTest.Result r = ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"),
                RealTimeChild.class.getName(), "spin");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("tapper isRealTime true\n"), r.output);
        // A watchdog that woke every 10 ms would count one wake-up per 10 ms of the spin; a starved one, next to
        // none.
        int spinMillis = number(r.output, "spin ms (\\d+)");
        int ticks = number(r.output, "watchdog ticks during the spin (\\d+)");
        assertTrue(ticks >= spinMillis / 50 && ticks <= spinMillis / 10 + 10, "watchdog wake-ups: " + r.output);
        // The tap goes on 0.3 s after the stop begins: the stop waits for it to end, and no beat follows.
        int stopMillis = number(r.output, "stopTapper ms (\\d+)");
        assertTrue(stopMillis >= 300 && stopMillis < 10_000, "stopTapper() took " + stopMillis + " ms: " + r.output);
        assertTrue(r.output.contains("stopTapper returned after the tap true"), r.output);
        assertEquals(1, number(r.output, "taps (\\d+)"), "no beat after the stop: " + r.output);
    }

    private static int number(String output, String regex) {
        Matcher m = Pattern.compile(regex).matcher(output);
        assertTrue(m.find(), regex + " in " + output);
        return Integer.parseInt(m.group(1));
    }

    static boolean isRoot() throws IOException {
        return ((Integer) Files.getAttribute(Path.of("/proc/self"), "unix:uid")) == 0;
    }

    /** The command prefix that runs a child JVM as nobody, with no capability and an rtprio limit of 0. */
    static List<String> asNobody() {
        return List.of("prlimit", "--rtprio=0:0", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups");
    }

    /** A java.io.tmpdir in dir that anyone may write, sticky as /tmp is, as a JVM option. */
    static String tmpdirForAnyone(Path dir) throws IOException, InterruptedException {
        Path tmp = Files.createDirectory(dir.resolve("tmp"));
        host("chmod", "1777", tmp.toString());
        return "-Djava.io.tmpdir=" + tmp;
    }

    /**
     * Copies the test class path (the jars and the test classes) into dir, all readable by anyone; returns the
     * class path of the copies. Host programs do the copying: a 32-bit JVM under qemu-user cannot list folders
     * whose directory offsets need 64 bits, as ext4's do.
     */
    static String copyForAnyone(Path dir) throws IOException, InterruptedException {
        List<String> copies = new ArrayList<>();
        for (String entry : System.getProperty("tembrix.test.classpath").split(":")) {
            Path copy = dir.resolve("cp" + copies.size() + (entry.endsWith(".jar") ? ".jar" : ""));
            host("cp", "-r", entry, copy.toString());
            copies.add(copy.toString());
        }
        host("chmod", "-R", "a+rX", dir.toString());
        return String.join(":", copies);
    }

    private static void host(String... command) throws IOException, InterruptedException {
        Process p = new ProcessBuilder(command).inheritIO().start();
        if (p.waitFor() != 0) {
            throw new IOException(String.join(" ", command) + " failed");
        }
    }
}
