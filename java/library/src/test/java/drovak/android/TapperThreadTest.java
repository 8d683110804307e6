package drovak.android;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * The tapper thread in real programs, each in a child JVM under -Xcheck:jni: how it starts, sleeps and ends
 * beside static initialisers, signals, shutdown, resource limits, class loaders and blocked output.
 */
class TapperThreadTest {

    private static ProcessTest.Result child(String... args) throws Exception {
        return child(List.of(), args);
    }

    private static ProcessTest.Result child(List<String> prefix, String... args) throws Exception {
        List<String> all = new ArrayList<>(List.of(ThreadChild.class.getName()));
        all.addAll(List.of(args));
        return ProcessTest.runJvm(prefix, null, System.getProperty("tembrix.test.classpath"),
                all.toArray(new String[0]));
    }

    @Test
    void aTapperStartedFromItsOwnStaticInitialiserTaps() throws Exception {
        ProcessTest.Result r = child("static-initializer");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("clicks 2"), r.output);
    }

    @Test
    void aSequencerStartingTheNextPhraseFromTheLastTapIsNeverRefused(@TempDir Path dir) throws Exception {
        // Real-time refused: as root the race hides.
        assumeTrue(!NativeLibrary.windows(), "runs the child JVM as another user with Linux's setpriv");
        assumeTrue(RealTimeTest.isRoot(), "needs root to run the child JVM as another user");
        ProcessTest.Result r = ProcessTest.runJvm(RealTimeTest.asNobody(), dir.toFile(),
                RealTimeTest.copyForAnyone(dir), RealTimeTest.tmpdirForAnyone(dir),
                ThreadChild.class.getName(), "sequencer", "300");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("refused 0 of 300"), r.output);
    }

    @Test
    void signalsToTheTapperThreadNeitherEndNorHurryTheRhythm() throws Exception {
        assumeTrue(!NativeLibrary.windows(), "Windows has no POSIX signals to send a thread");
        ProcessTest.Result r = child("signals");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("taps 20 of 20, early 0"), r.output);
    }

    @Test
    void theExitCompletesWhenTapWaitsForTheExitingThreadAndAHookStops() throws Exception {
        ProcessTest.Result r = child("exit-while-tap-waits");
        assertEquals(0, r.exitCode, r.output);
        Matcher m = Pattern.compile("hook stopped the tapper in (\\d+) ms").matcher(r.output);
        assertTrue(m.find(), r.output);
        long millis = Long.parseLong(m.group(1));
        assertTrue(millis >= 900 && millis < 10_000, "a bounded wait of about a second: " + r.output);
    }

    /**
     * A JVM whose libgcc_s is missing (a minimal image; Temurin links libgcc statically) survives a stop: the
     * stop no longer unwinds the tapper thread, which needed libgcc_s.
     */
    @Test
    void aStopNeedsNoLibgcc() throws Exception {
        assumeTrue(!ProcessTest.emulated() && !NativeLibrary.windows(),
                "runs the host's Temurin 25 on the host's library; libgcc_s is a Linux library");
        Path jdk25 = Path.of("/usr/lib/jvm/temurin-25-jdk-amd64/bin/java");
        Path libgcc = Path.of("/lib/x86_64-linux-gnu/libgcc_s.so.1");
        assumeTrue(Files.isExecutable(jdk25) && Files.exists(libgcc), "needs Temurin 25 and libgcc_s to hide");
        assumeTrue(RealTimeTest.isRoot(), "needs root to hide libgcc_s in a mount namespace");
        String command = "mount --bind /dev/null " + libgcc + " && exec " + jdk25
                + " -Xcheck:jni --enable-native-access=ALL-UNNAMED -cp " + System.getProperty("tembrix.test.classpath")
                + " " + ChildMain.class.getName() + " stop-mid-sleep";
        Process p = new ProcessBuilder("unshare", "-m", "sh", "-c", command).redirectErrorStream(true).start();
        assertTrue(p.waitFor(20, TimeUnit.SECONDS), "did not exit");
        String output = new String(p.getInputStream().readAllBytes());
        assumeTrue(!output.contains("unshare failed") && !output.contains("mount:"), "cannot hide it: " + output);
        assertEquals(0, p.exitValue(), output);
        assertTrue(output.contains("stopped"), output);
    }

    @Test
    void aLongTapUnderAnRtTimeLimitDoesNotKillTheJvm() throws Exception {
        assumeTrue(!NativeLibrary.windows(), "RLIMIT_RTTIME and prlimit are Linux's");
        ProcessTest.Result r = child(List.of("prlimit", "--rttime=50000:100000"), "long-tap");
        assertEquals(0, r.exitCode, "SIGXCPU gives 152: " + r.output);
        assertTrue(r.output.contains("real-time false, both taps true"), r.output);
    }

    @Test
    void tapSeesTheContextClassLoaderOfTheThreadThatStarted() throws Exception {
        ProcessTest.Result r = child("context-loader");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("context loader is the starter's: true, resource found: true"), r.output);
    }

    /** The child's output is never read; it writes its verdict to a file, and is killed then. */
    @Test
    void aStopReturnsWhileAnotherCallIsBlockedWritingToAFullPipe(@TempDir Path dir) throws Exception {
        // Seen under qemu-aarch64 beside other tests: the child's output did not always fill in time. The lock
        // that a blocked write must not hold is the same on every architecture, and this runs natively.
        assumeTrue(!ProcessTest.emulated(), "the output does not reliably fill under qemu-user");
        Path report = dir.resolve("report");
        Process p = new ProcessBuilder(ProcessTest.javaCommand(System.getProperty("tembrix.test.classpath"),
                ThreadChild.class.getName(), "blocked-output", report.toString(),
                Integer.toString(15 * ProcessTest.EMULATION_SLOWDOWN))).start();
        try {
            for (int i = 0; i < 400 * ProcessTest.EMULATION_SLOWDOWN && !Files.exists(report) && p.isAlive(); i++) {
                Thread.sleep(50);
            }
        } finally {
            p.destroyForcibly();
        }
        assertTrue(Files.exists(report), "no verdict in time");
        String verdict = Files.readString(report);
        Matcher m = Pattern.compile("stops in the next 0.5 s: (\\d+)").matcher(verdict);
        assertTrue(m.find(), verdict);
        assertTrue(Integer.parseInt(m.group(1)) > 0, verdict);
    }

    @Test
    void aRhythmThatEndedByItselfHoldsNoneOfTheCallersObjects() throws Exception {
        ProcessTest.Result r = child("ended-rhythm-collectable");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("collected true"), r.output);
    }

    /**
     * Plugins in class loaders of their own, each dropped at its rhythm's last tap(): the JVM unloads each copy of
     * the library, which must join its thread first (it crashed, the thread returning into unmapped code) and take
     * the thread's stack and its list with it (100 plugins grew the address space by 829 MB).
     */
    @Test
    void pluginsDroppedAtTheirLastTapAreUnloadedWithoutACrashOrALeak() throws Exception {
        // Under qemu-user and Wine, where each plugin takes ten times as long, fewer: still dozens of unloads.
        int plugins = ProcessTest.emulated() || ProcessTest.WINE ? 30 : 300;
        ProcessTest.Result r = ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"), "-XX:+UseSerialGC",
                ThreadChild.class.getName(), "plugins", Integer.toString(plugins));
        assertEquals(0, r.exitCode, r.output);
        Matcher m = Pattern.compile("loaders collected (\\d+), VmSize grew (-?\\d+) MB").matcher(r.output);
        assertTrue(m.find(), r.output);
        assertTrue(Integer.parseInt(m.group(1)) > plugins / 2, "the loaders must be unloaded to test this: " + r.output);
        if (!ProcessTest.emulated()) { // qemu-user keeps memory of every thread that has ended
            assertTrue(Integer.parseInt(m.group(2)) < 200, "no stack or list stays behind: " + r.output);
        }
    }

    /** A virtual thread's stop never holds its carrier while it waits for tap(). */
    @Test
    void aStopFromAVirtualThreadWaitsWithoutHoldingItsCarrier() throws Exception {
        assumeTrue(Runtime.version().feature() >= 21, "virtual threads need JDK 21");
        ProcessTest.Result r = ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"),
                "-Djdk.virtualThreadScheduler.parallelism=1", ThreadChild.class.getName(), "virtual-stop");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("stopped in"), r.output);
    }

    @Test
    void aThreadThatCannotAttachMakesStartThrowAndStartsNothing() throws Exception {
        assumeTrue(!ProcessTest.emulated(), "qemu-user runs the thread on a stack that ulimit -s does not bound");
        assumeTrue(!NativeLibrary.windows(), "prlimit is Linux's");
        ProcessTest.Result r = child(List.of("prlimit", "--stack=65536"), "start");
        assertEquals(0, r.exitCode, r.output);
        assertTrue(r.output.contains("threw java.lang.IllegalStateException: the tapper thread could not attach"),
                r.output);
        assertTrue(r.output.contains("no start time"), r.output);
    }
}
