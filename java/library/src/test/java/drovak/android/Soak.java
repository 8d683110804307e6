package drovak.android;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.lang.management.ManagementFactory;
import javax.management.JMException;
import javax.management.ObjectName;
import java.lang.ref.WeakReference;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.LockSupport;

/**
 * Soak test of the native tapper in a real JVM, run by CTest (label {@code soak}).
 *
 * <p>The parent JVM starts a child JVM under {@code -Xcheck:jni} that does the work, and passes only if the child
 * prints no JNI warning, reports success, and exits by itself with status 0 soon after its {@code main} returns.
 * The child runs:
 *
 * <ol>
 *   <li>thousands of set/start/stop cycles from one thread, each on a new {@code Tapper}, stopping in the
 *       tapper thread's sleep, inside {@code tap()}, after the list has ended (or not stopping at all), and during
 *       a run of overdue beats, with beat lists full of NaN, infinities, huge and negative values;
 *   <li>calls in any order from 4 to 8 threads, each on its own {@code Tapper}: start and set may throw
 *       {@link IllegalStateException} while another rhythm plays, and nothing else may be thrown;
 * </ol>
 *
 * <p>and then checks that the live thread count is back to its baseline, that the resident set has not grown by
 * more than a few megabytes since the warm-up, that every stopped {@code Tapper} can be garbage-collected, and,
 * where the JVM may have real-time scheduling, that the tapper threads ran under SCHED_FIFO. A
 * watchdog dumps every thread's stack and halts the child if it stops making progress.
 *
 * <p>Usage: {@code java -cp tembrix.jar:CLASSES drovak.android.Soak [SINGLE_SECONDS MULTI_SECONDS [SEED]]}
 */
public final class Soak {

    static final String SET_LINE = "Set beat list native";
    static final String START_LINE = "Start native tapping ";
    static final String PASSED = "soak: passed";
    static final String MAIN_RETURNED = "soak: main returned";
    /** Set in a child JVM that runs under qemu-user. */
    static final String EMULATED_PROPERTY = "tembrix.test.emulated";

    private Soak() {}

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("child")) {
            new Child(Integer.parseInt(args[1]), Integer.parseInt(args[2]), Long.parseLong(args[3])).run();
            System.out.println(MAIN_RETURNED);
            return;
        }
        int singleSeconds = args.length > 1 ? Integer.parseInt(args[0]) : 25;
        int multiSeconds = args.length > 1 ? Integer.parseInt(args[1]) : 15;
        long seed = args.length > 2 ? Long.parseLong(args[2]) : System.nanoTime();
        System.exit(Parent.run(singleSeconds, multiSeconds, seed));
    }

    // -------------------------------------------------------------------------------------------------------------

    /** Starts the child JVM, watches its output and its exit. */
    static final class Parent {
        // Time the child JVM may take beyond its phases, for warm-up, garbage collection and exit.
        static final long SLACK_SECONDS = 45;
        static final long EXIT_AFTER_MAIN_SECONDS = 10;

        private Parent() {}

        static int run(int singleSeconds, int multiSeconds, long seed) throws IOException, InterruptedException {
            // Under qemu-user, -Dtembrix.test.java names the emulated java, which the host cannot start by itself.
            String emulated = System.getProperty("tembrix.test.java");
            List<String> command = new ArrayList<>(emulated != null ? List.of(emulated.trim().split("\\s+"))
                    : List.of(ProcessHandle.current().info().command().orElse("java")));
            command.addAll(List.of("-Xcheck:jni",
                    // A fixed, pre-touched heap, so that the resident set measures the native side.
                    "-Xms64m", "-Xmx64m", "-XX:+AlwaysPreTouch", "-XX:-UseDynamicNumberOfCompilerThreads",
                    "-cp", System.getProperty("java.class.path")));
            if (Runtime.version().feature() >= 24) {
                command.add("--enable-native-access=ALL-UNNAMED"); // loads the library without a warning
            }
            if (emulated != null) {
                command.add("-D" + EMULATED_PROPERTY + "=true");
            }
            String library = System.getProperty(Tapper.LIBRARY_PATH_PROPERTY);
            if (library != null) {
                command.add("-D" + Tapper.LIBRARY_PATH_PROPERTY + "=" + library);
            }
            command.addAll(List.of(Soak.class.getName(), "child", Integer.toString(singleSeconds),
                    Integer.toString(multiSeconds), Long.toString(seed)));
            System.out.println("soak: seed " + seed + ": " + String.join(" ", command));

            Process child = new ProcessBuilder(command).redirectErrorStream(true).start();
            child.getOutputStream().close();
            Output output = new Output(child);
            Thread reader = new Thread(output, "soak-output");
            reader.start();

            long limitSeconds = singleSeconds + multiSeconds + SLACK_SECONDS;
            if (!child.waitFor(limitSeconds, TimeUnit.SECONDS)) {
                System.out.println("soak: FAILED: the child JVM is still running after " + limitSeconds
                        + " s (deadlock, or a thread that keeps the JVM alive); its threads:");
                new ProcessBuilder("kill", "-QUIT", Long.toString(child.pid())).inheritIO().start().waitFor();
                Thread.sleep(2000);
                child.destroyForcibly().waitFor();
                reader.join(5000);
                return 1;
            }
            long exitedNanos = System.nanoTime();
            reader.join(10000);

            List<String> failures = new ArrayList<>();
            if (child.exitValue() != 0) {
                failures.add("the child JVM exited with status " + child.exitValue());
            }
            if (output.jniWarnings > 0) {
                failures.add(output.jniWarnings + " JNI warning line(s)");
            }
            if (!output.passed) {
                failures.add("the child never reported success");
            }
            if (output.mainReturnedNanos == 0) {
                failures.add("the child's main never returned");
            } else if (exitedNanos - output.mainReturnedNanos > TimeUnit.SECONDS.toNanos(EXIT_AFTER_MAIN_SECONDS)) {
                failures.add("the child JVM took more than " + EXIT_AFTER_MAIN_SECONDS
                        + " s to exit after main returned");
            }
            // Every call printed its line, flushed, exactly once, whether it was refused or not.
            if (output.expectedSets >= 0 && output.setLines != output.expectedSets) {
                failures.add(output.setLines + " \"" + SET_LINE + "\" lines for " + output.expectedSets
                        + " setBeatList() calls");
            }
            if (output.expectedStarts >= 0 && output.startLines != output.expectedStarts) {
                failures.add(output.startLines + " \"" + START_LINE.trim() + "\" lines for "
                        + output.expectedStarts + " startTapper() calls");
            }
            if (!failures.isEmpty()) {
                System.out.println("soak: FAILED: " + String.join("; ", failures));
                return 1;
            }
            System.out.println("soak: the child JVM exited by itself with status 0; " + output.setLines
                    + " set lines, " + output.startLines + " start lines");
            return 0;
        }
    }

    /** Reads the child's output: counts the natives' lines and passes every other line through. */
    static final class Output implements Runnable {
        private final Process child;
        volatile long setLines;
        volatile long startLines;
        volatile long expectedSets = -1;
        volatile long expectedStarts = -1;
        volatile int jniWarnings;
        volatile boolean passed;
        volatile long mainReturnedNanos;

        Output(Process child) {
            this.child = child;
        }

        @Override
        public void run() {
            try (BufferedReader in = new BufferedReader(
                    new InputStreamReader(child.getInputStream(), StandardCharsets.UTF_8))) {
                for (String line; (line = in.readLine()) != null; ) {
                    if (line.equals(SET_LINE)) {
                        ++setLines;
                        continue;
                    }
                    if (line.equals(START_LINE)) {
                        ++startLines;
                        continue;
                    }
                    System.out.println(line);
                    if (line.contains("WARNING in native method") || line.contains("FATAL ERROR")
                            || line.contains("JNI call made without checking exceptions")) {
                        ++jniWarnings;
                    } else if (line.startsWith(PASSED)) {
                        passed = true;
                    } else if (line.equals(MAIN_RETURNED)) {
                        mainReturnedNanos = System.nanoTime();
                    } else if (line.startsWith("soak: called ")) {
                        String[] words = line.split(" ");
                        expectedSets = Long.parseLong(words[2]);
                        expectedStarts = Long.parseLong(words[4]);
                    }
                }
            } catch (IOException e) {
                System.out.println("soak: reading the child's output: " + e);
            }
        }
    }

    // -------------------------------------------------------------------------------------------------------------

    /** The child JVM's work. */
    static final class Child {
        static final long NO_PROGRESS_LIMIT_NANOS = TimeUnit.SECONDS.toNanos(20);
        static final long TAP_WAIT_SECONDS = 5;
        static final long RSS_GROWTH_LIMIT_KB = 6 * 1024;
        // qemu-user keeps some memory of every thread that has ended, a few hundred kilobytes: under it the
        // soak makes fewer cycles, and its resident set tells nothing about the library.
        static final boolean EMULATED = Boolean.getBoolean(EMULATED_PROPERTY);
        static final int MIN_CYCLES = EMULATED ? 50 : 1000;
        static final int MAX_CYCLES = EMULATED ? 400 : 20000;
        static final int WARM_UP_SECONDS = EMULATED ? 1 : 3;
        static final double FAR = 30.0; // seconds: never reached, a stop ends the sleep

        private final int singleSeconds;
        private final int multiSeconds;
        private final long seed;
        private final AtomicLong progress = new AtomicLong();
        private final AtomicLong setCalls = new AtomicLong();
        private final AtomicLong startCalls = new AtomicLong();
        private final ConcurrentLinkedQueue<String> failures = new ConcurrentLinkedQueue<>();
        private final List<WeakReference<Tapper>> stopped = new ArrayList<>();
        private final int[] scenarioCounts = new int[Scenario.values().length];
        private long stopsInsideTap;
        private long maxStopNanos;
        private long illegalStates;
        private long multiOps;

        Child(int singleSeconds, int multiSeconds, long seed) {
            this.singleSeconds = singleSeconds;
            this.multiSeconds = multiSeconds;
            this.seed = seed;
        }

        void run() throws Exception {
            startWatchdog();
            Random random = new Random(seed);

            // Warm-up: the same work, so that the JIT, the heap and malloc's arenas settle before the baseline.
            singleThreaded(random, TimeUnit.SECONDS.toNanos(WARM_UP_SECONDS), MAX_CYCLES);
            multiThreaded(random, TimeUnit.SECONDS.toNanos(WARM_UP_SECONDS), 8);
            int warmUpCycles = stopped.size();
            settle();
            long baselineRss = rssKb();
            int baselineThreads = ManagementFactory.getThreadMXBean().getThreadCount();
            System.out.println("soak: warm-up done (" + warmUpCycles + " cycles); baseline VmRSS " + baselineRss
                    + " kB, " + baselineThreads + " live threads");
            Taps.readScheduling = true;

            long begin = System.nanoTime();
            int cycles = singleThreaded(random, TimeUnit.SECONDS.toNanos(singleSeconds), MAX_CYCLES);
            double seconds = (System.nanoTime() - begin) / 1e9;
            System.out.printf("soak: %d single-thread cycles in %.1f s (%.0f/s); by scenario %s; %d stops landed"
                    + " inside tap(); slowest stop %.2f ms%n", cycles, seconds, cycles / seconds,
                    scenarioSummary(), stopsInsideTap, maxStopNanos / 1e6);
            if (cycles < MIN_CYCLES) {
                failures.add("only " + cycles + " single-thread cycles ran; a soak needs at least " + MIN_CYCLES);
            }

            int threads = 4 + random.nextInt(5);
            long opsBefore = multiOps;
            long illegalBefore = illegalStates;
            multiThreaded(random, TimeUnit.SECONDS.toNanos(multiSeconds), threads);
            System.out.printf("soak: %d threads made %d calls in %d s; %d IllegalStateException%n", threads,
                    multiOps - opsBefore, multiSeconds, illegalStates - illegalBefore);

            new Tapper().stopTapper();
            checkThreadsBackTo(baselineThreads);
            checkTappersCollected();
            checkScheduling();
            settle();
            long endRss = rssKb();
            System.out.println("soak: VmRSS " + baselineRss + " kB after warm-up, " + endRss + " kB at the end ("
                    + (endRss - baselineRss) + " kB)");
            if (EMULATED) {
                System.out.println("soak: resident set not checked: qemu-user keeps memory of every ended thread");
            } else if (endRss - baselineRss > RSS_GROWTH_LIMIT_KB) {
                failures.add("the resident set grew by " + (endRss - baselineRss) + " kB (limit "
                        + RSS_GROWTH_LIMIT_KB + " kB)");
            }
            System.out.println("soak: called " + setCalls.get() + " sets " + startCalls.get() + " starts");
            if (!failures.isEmpty()) {
                for (String failure : failures) {
                    System.out.println("soak: FAILED: " + failure);
                }
                throw new AssertionError(failures.size() + " failure(s)");
            }
            System.out.println(PASSED);
        }

        // --- One thread, thousands of cycles -------------------------------------------------------------------

        enum Scenario { IN_SLEEP, IN_TAP, AFTER_END, OVERDUE_RUN, ANY_VALUES, TOO_SHORT }

        /** The tap() of one cycle: counts taps, and can spend time or throw in them. */
        static final class Taps implements Runnable {
            final AtomicInteger count = new AtomicInteger();
            final Semaphore entered = new Semaphore(0);
            final Semaphore left = new Semaphore(0);
            volatile boolean inTap;
            volatile long busyNanos;
            volatile boolean throwing;
            volatile Thread thread;
            volatile boolean onOneThread = true;
            /** Set once the warm-up is over: the next start records whether its thread got real-time. */
            static volatile boolean readScheduling;
            static volatile Boolean realTime;

            @Override
            public void run() {
                inTap = true;
                Thread current = Thread.currentThread();
                if (thread == null) {
                    thread = current;
                } else if (thread != current) {
                    onOneThread = false;
                }
                entered.release();
                long until = System.nanoTime() + busyNanos;
                while (busyNanos > 0 && System.nanoTime() - until < 0) {
                    Thread.onSpinWait();
                }
                count.incrementAndGet();
                inTap = false;
                left.release();
                if (throwing) {
                    throw new IllegalArgumentException("thrown on purpose by the soak test's tap()");
                }
            }

            boolean awaitTaps(int n) throws InterruptedException {
                return left.tryAcquire(n, TAP_WAIT_SECONDS, TimeUnit.SECONDS);
            }
        }

        int singleThreaded(Random random, long budgetNanos, int maxCycles) throws InterruptedException {
            long deadline = System.nanoTime() + budgetNanos;
            Taps previous = null;
            int previousCount = 0;
            int cycles = 0;
            while (cycles < maxCycles && System.nanoTime() - deadline < 0) {
                Scenario scenario = Scenario.values()[random.nextInt(Scenario.values().length)];
                Taps taps = new Taps();
                taps.throwing = random.nextInt(1000) == 0;
                Tapper tapper = new Tapper(taps);
                cycle(random, scenario, tapper, taps);
                ++scenarioCounts[scenario.ordinal()];
                // No tap may come after stopTapper() has returned.
                if (previous != null && previous.count.get() != previousCount) {
                    failures.add("a tap came after stopTapper() returned");
                }
                previous = taps;
                previousCount = taps.count.get();
                if (previous.thread == Thread.currentThread() || !previous.onOneThread) {
                    failures.add("tap() ran on the caller's thread or on more than one thread in a rhythm");
                }
                stopped.add(new WeakReference<>(tapper));
                ++cycles;
                progress.incrementAndGet();
            }
            return cycles;
        }

        private void cycle(Random random, Scenario scenario, Tapper tapper, Taps taps) throws InterruptedException {
            switch (scenario) {
                case IN_SLEEP: {
                    // The third beat is far away: the thread sleeps until stopTapper() wakes it.
                    set(tapper, new double[] {0, 0.0002, 0.0004, FAR, 0.0006});
                    start(tapper);
                    expect(taps.awaitTaps(2), "two taps before the far beat");
                    pause(random.nextInt(500_000));
                    if (random.nextInt(8) == 0) {
                        expectIllegalState(() -> start(tapper), "startTapper() while tapping");
                        expectIllegalState(() -> set(tapper, new double[] {0, 1}), "setBeatList() while tapping");
                    }
                    stop(tapper, taps);
                    expect(taps.count.get() == 2, "exactly the two beats before the far one were tapped, not "
                            + taps.count.get());
                    break;
                }
                case IN_TAP: {
                    // Every beat is overdue and each tap() takes a while: stopTapper() arrives during one.
                    double[] beats = new double[5 + random.nextInt(40)];
                    set(tapper, beats);
                    taps.busyNanos = 100_000 + random.nextInt(200_000);
                    start(tapper);
                    expect(taps.entered.tryAcquire(TAP_WAIT_SECONDS, TimeUnit.SECONDS), "a first tap");
                    stop(tapper, taps);
                    expect(!taps.inTap, "stopTapper() returned while tap() was still running");
                    expect(taps.count.get() == taps.entered.availablePermits() + 1,
                            "every tap() that began also finished");
                    break;
                }
                case AFTER_END: {
                    set(tapper, new double[] {0, 0.0001, 0.0002, 0.0003});
                    start(tapper);
                    expect(taps.awaitTaps(3), "all three taps");
                    pause(random.nextInt(300_000));
                    if (random.nextInt(3) == 0) {
                        // No stop: the next set or start cleans up the rhythm that ended by itself.
                        waitUntilEnded(tapper);
                    } else {
                        stop(tapper, taps);
                    }
                    expect(taps.count.get() == 3, "exactly three taps, not " + taps.count.get());
                    break;
                }
                case OVERDUE_RUN: {
                    double[] beats = new double[200 + random.nextInt(2800)];
                    for (int i = 0; i < beats.length; i++) {
                        int kind = random.nextInt(4);
                        beats[i] = kind == 0 ? -random.nextDouble() * 100 : kind == 1 ? Double.NaN
                                : kind == 2 ? Double.NEGATIVE_INFINITY : 0.0;
                    }
                    set(tapper, beats);
                    start(tapper);
                    if (random.nextBoolean()) {
                        expect(taps.awaitTaps(1 + random.nextInt(20)), "the first overdue taps");
                    } else {
                        pause(random.nextInt(300_000));
                    }
                    stop(tapper, taps);
                    expect(taps.count.get() <= beats.length - 1, "no more taps than beats");
                    break;
                }
                case ANY_VALUES: {
                    double[] beats = new double[random.nextInt(50)];
                    for (int i = 0; i < beats.length; i++) {
                        beats[i] = anyValue(random);
                    }
                    set(tapper, beats);
                    start(tapper);
                    pause(random.nextInt(2_000_000));
                    stop(tapper, taps);
                    expect(taps.count.get() <= Math.max(0, beats.length - 1), "no more taps than beats");
                    break;
                }
                case TOO_SHORT: {
                    set(tapper, random.nextBoolean() ? new double[0] : new double[] {random.nextDouble()});
                    start(tapper);
                    pause(random.nextInt(200_000));
                    stop(tapper, taps);
                    if (random.nextBoolean()) {
                        stop(tapper, taps); // a second stop only clears the (empty) list
                    }
                    expect(taps.count.get() == 0, "no tap for a list of fewer than two beats");
                    break;
                }
                default:
                    throw new AssertionError(scenario);
            }
        }

        static double anyValue(Random random) {
            switch (random.nextInt(12)) {
                case 0: return Double.NaN;
                case 1: return Double.POSITIVE_INFINITY;
                case 2: return Double.NEGATIVE_INFINITY;
                case 3: return 1e300;
                case 4: return -Double.MAX_VALUE;
                case 5: return Double.MIN_VALUE;
                case 6: return -0.0;
                case 7: return 9.3e12; // whole microseconds that overflow as nanoseconds
                case 8: return -random.nextDouble();
                case 9: return FAR;
                default: return random.nextDouble() * 0.001;
            }
        }

        /** A rhythm that ended by itself: set and start work again without a stop. */
        private void waitUntilEnded(Tapper tapper) throws InterruptedException {
            // The thread is detaching just after its last tap; give it a moment before the set.
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(TAP_WAIT_SECONDS);
            pause(1_000_000);
            double[] next = {0};
            while (true) {
                try {
                    set(tapper, next);
                    break;
                } catch (IllegalStateException e) {
                    if (System.nanoTime() - deadline > 0) {
                        failures.add("setBeatList() still refused " + TAP_WAIT_SECONDS
                                + " s after the last beat of a rhythm that ended by itself");
                        return;
                    }
                    pause(1_000_000);
                }
            }
            // The list stays set, for the next cycle's set to replace.
        }

        // --- Several threads, calls in any order ---------------------------------------------------------------

        void multiThreaded(Random random, long budgetNanos, int threads) throws InterruptedException {
            long deadline = System.nanoTime() + budgetNanos;
            List<Thread> workers = new ArrayList<>();
            AtomicLong ops = new AtomicLong();
            AtomicLong refused = new AtomicLong();
            List<List<WeakReference<Tapper>>> perThread = new ArrayList<>();
            for (int t = 0; t < threads; t++) {
                long workerSeed = random.nextLong();
                List<WeakReference<Tapper>> mine = new ArrayList<>();
                perThread.add(mine);
                workers.add(new Thread(() -> {
                    Random r = new Random(workerSeed);
                    Tapper tapper = null;
                    try {
                        while (System.nanoTime() - deadline < 0) {
                            if (tapper == null || r.nextInt(200) == 0) {
                                if (tapper != null) {
                                    tapper.stopTapper();
                                    mine.add(new WeakReference<>(tapper));
                                }
                                tapper = new Tapper(() -> { });
                            }
                            int op = r.nextInt(13);
                            try {
                                if (op < 3) {
                                    double[] beats = new double[r.nextInt(8)];
                                    for (int i = 0; i < beats.length; i++) {
                                        beats[i] = r.nextInt(10) == 0 ? anyValue(r) : r.nextDouble() * 0.002;
                                    }
                                    setCalls.incrementAndGet(); // refused or not, the call writes its line
                                    tapper.setBeatList(beats);
                                } else if (op < 6) {
                                    startCalls.incrementAndGet();
                                    tapper.startTapper();
                                } else if (op < 9) {
                                    tapper.stopTapper();
                                } else if (op == 9) {
                                    pause(r.nextInt(300_000));
                                } else if (op == 10) {
                                    tapper.appendBeats(new double[] {r.nextDouble() * 0.002});
                                } else if (op == 11) {
                                    tapper.close();
                                } else {
                                    tapper.stopTapper(r.nextInt(2000), TimeUnit.MICROSECONDS);
                                }
                            } catch (IllegalStateException e) {
                                if (op >= 6) {
                                    throw e; // a stop, close or append from a Java thread never throws
                                }
                                refused.incrementAndGet();
                            }
                            ops.incrementAndGet();
                            progress.incrementAndGet();
                        }
                        tapper.stopTapper();
                        mine.add(new WeakReference<>(tapper));
                    } catch (Throwable e) {
                        failures.add(Thread.currentThread().getName() + " got " + e);
                        e.printStackTrace(System.out);
                    }
                }, "soak-caller-" + t));
            }
            for (Thread worker : workers) {
                worker.start();
            }
            for (Thread worker : workers) {
                worker.join();
            }
            multiOps += ops.get();
            illegalStates += refused.get();
            for (List<WeakReference<Tapper>> mine : perThread) {
                stopped.addAll(mine);
            }
        }

        // --- Calls and checks ----------------------------------------------------------------------------------

        private void set(Tapper tapper, double[] beats) {
            setCalls.incrementAndGet();
            tapper.setBeatList(beats);
        }

        private void start(Tapper tapper) {
            startCalls.incrementAndGet();
            tapper.startTapper();
            if (Taps.readScheduling) {
                Taps.readScheduling = false;
                Taps.realTime = tapper.isRealTime();
            }
        }

        private void stop(Tapper tapper, Taps taps) {
            boolean inTap = taps.inTap;
            long before = System.nanoTime();
            tapper.stopTapper();
            long took = System.nanoTime() - before;
            maxStopNanos = Math.max(maxStopNanos, took);
            if (inTap) {
                ++stopsInsideTap;
            }
        }

        private void expect(boolean condition, String what) {
            if (!condition) {
                failures.add(what);
            }
        }

        private void expectIllegalState(Runnable call, String what) {
            try {
                call.run();
                failures.add(what + " did not throw IllegalStateException");
            } catch (IllegalStateException expected) {
                // the message says to call stopTapper() first
            }
        }

        private static void pause(long nanos) {
            if (nanos > 0) {
                LockSupport.parkNanos(nanos);
            }
        }

        private String scenarioSummary() {
            StringBuilder summary = new StringBuilder();
            for (Scenario s : Scenario.values()) {
                summary.append(summary.length() == 0 ? "" : ", ").append(s).append('=')
                        .append(scenarioCounts[s.ordinal()]);
            }
            return summary.toString();
        }

        /** Where this JVM may have real-time scheduling, the cycles ran under it. */
        private void checkScheduling() {
            Boolean seen = Taps.realTime;
            boolean granted = ThreadPolicy.processMayUseRealTime();
            System.out.println("soak: a tapper thread after the warm-up ran real-time: " + seen + " (real-time "
                    + (granted ? "allowed" : "not allowed") + " here)");
            if (granted && !Boolean.TRUE.equals(seen)) {
                failures.add("the tapper thread did not run real-time where real-time scheduling is allowed");
            }
        }

        private void checkThreadsBackTo(int baseline) throws InterruptedException {
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
            int live;
            while ((live = ManagementFactory.getThreadMXBean().getThreadCount()) > baseline
                    && System.nanoTime() - deadline < 0) {
                Thread.sleep(50);
                progress.incrementAndGet();
            }
            System.out.println("soak: " + live + " live threads at the end (baseline " + baseline + ")");
            if (live > baseline) {
                failures.add(live + " live threads at the end, " + baseline + " after the warm-up: "
                        + Thread.getAllStackTraces().keySet());
            }
        }

        private void checkTappersCollected() throws InterruptedException {
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
            long alive;
            do {
                System.gc();
                Thread.sleep(20);
                alive = stopped.stream().filter(ref -> ref.get() != null).count();
                progress.incrementAndGet();
            } while (alive > 0 && System.nanoTime() - deadline < 0);
            System.out.println("soak: " + (stopped.size() - alive) + " of " + stopped.size()
                    + " stopped Tappers garbage-collected");
            if (alive > 0) {
                failures.add(alive + " stopped Tapper(s) still reachable after garbage collection");
            }
        }

        private static void settle() throws InterruptedException {
            for (int i = 0; i < 3; i++) {
                System.gc();
                Thread.sleep(100);
            }
            trimNativeHeap();
        }

        /**
         * Hands the memory that malloc keeps after it was freed back to the system, where the JVM can (JDK 17.0.9
         * and later), so that the resident set counts what is still in use: a compilation of the JIT after the
         * baseline frees megabytes of arenas that malloc would otherwise keep.
         */
        private static void trimNativeHeap() {
            try {
                ManagementFactory.getPlatformMBeanServer().invoke(
                        new ObjectName("com.sun.management:type=DiagnosticCommand"), "systemTrimNativeHeap",
                        new Object[] {new String[0]}, new String[] {String[].class.getName()});
            } catch (JMException | RuntimeException e) {
                // Not on this JVM: the resident set then includes what malloc keeps.
            }
        }

        private static long rssKb() throws IOException, InterruptedException {
            settle();
            for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
                if (line.startsWith("VmRSS:")) {
                    return Long.parseLong(line.replaceAll("[^0-9]", ""));
                }
            }
            throw new IOException("no VmRSS line in /proc/self/status");
        }

        private void startWatchdog() {
            Thread watchdog = new Thread(() -> {
                long last = -1;
                long lastChange = System.nanoTime();
                while (true) {
                    try {
                        Thread.sleep(500);
                    } catch (InterruptedException e) {
                        return;
                    }
                    long now = progress.get();
                    if (now != last) {
                        last = now;
                        lastChange = System.nanoTime();
                    } else if (System.nanoTime() - lastChange > NO_PROGRESS_LIMIT_NANOS) {
                        System.out.println("soak: FAILED: watchdog: no progress for "
                                + TimeUnit.NANOSECONDS.toSeconds(NO_PROGRESS_LIMIT_NANOS) + " s; threads:");
                        for (Map.Entry<Thread, StackTraceElement[]> e : Thread.getAllStackTraces().entrySet()) {
                            System.out.println("  " + e.getKey());
                            for (StackTraceElement frame : e.getValue()) {
                                System.out.println("      at " + frame);
                            }
                        }
                        System.out.flush();
                        Runtime.getRuntime().halt(3);
                    }
                }
            }, "soak-watchdog");
            watchdog.setDaemon(true);
            watchdog.start();
        }
    }
}
