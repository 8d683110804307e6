package drovak.android;

import java.io.PrintStream;
import java.lang.ref.WeakReference;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import java.util.concurrent.locks.ReentrantLock;

/** Scenarios of real programs that TapperThreadTest runs in a JVM of their own. */
public final class ThreadChild {

    private ThreadChild() {}

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "static-initializer":
                Click.main();
                break;
            case "sequencer":
                sequencer(Integer.parseInt(args[1]));
                break;
            case "signals":
                signals();
                break;
            case "exit-while-tap-waits":
                exitWhileTapWaits();
                break;
            case "long-tap":
                longTap();
                break;
            case "context-loader":
                contextLoader();
                break;
            case "blocked-output":
                blockedOutput(Path.of(args[1]), Integer.parseInt(args[2]));
                break;
            case "ended-rhythm-collectable":
                endedRhythmCollectable();
                break;
            case "start":
                start();
                break;
            case "plugins":
                plugins(Integer.parseInt(args[1]));
                break;
            case "virtual-stop":
                virtualStop();
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }

    /** A metronome started from its own class's static initialiser. */
    static final class Click extends Tapper {
        static final Click METRONOME = new Click();
        static final AtomicInteger CLICKS = new AtomicInteger();

        static {
            METRONOME.setBeatList(new double[] {0, 0.25, 0.5});
            METRONOME.startTapper();
        }

        @Override
        public void tap() {
            CLICKS.incrementAndGet();
        }

        static void main() throws InterruptedException {
            Thread.sleep(800);
            METRONOME.stopTapper();
            System.out.println("clicks " + CLICKS.get());
        }
    }

    /**
     * Plays phrases back to back: the last tap of each wakes the sequencer, which sets and starts the next one
     * without a stop. Prints how many of those calls were refused.
     */
    private static void sequencer(int phrases) throws InterruptedException {
        Semaphore phraseEnded = new Semaphore(0);
        AtomicInteger taps = new AtomicInteger();
        Tapper tapper = new Tapper(() -> {
            if (taps.incrementAndGet() % 2 == 0) {
                phraseEnded.release();
            }
        });
        int refused = 0;
        for (int i = 0; i < phrases; i++) {
            try {
                tapper.setBeatList(new double[] {0, 0.001, 0.002});
                tapper.startTapper();
            } catch (IllegalStateException e) {
                refused++;
                tapper.stopTapper();
                continue;
            }
            if (!phraseEnded.tryAcquire(5, TimeUnit.SECONDS)) {
                throw new AssertionError("phrase " + i + " never ended");
            }
        }
        tapper.stopTapper();
        System.out.println("refused " + refused + " of " + phrases);
    }

    /**
     * Signals sent to the tapper thread while it plays, as a JVM's own, a terminal's SIGWINCH or a profiler's
     * would be: SIGUSR2, whose handler the JVM installs. Prints the beats tapped and whether any came before its
     * time.
     */
    private static void signals() throws Exception {
        int beats = 20;
        // A last beat that never comes keeps the thread alive until the signals are over: kill(2) hands a
        // signal for a thread that is ending to another one, such as the launcher's first thread, which is no
        // JVM thread and whose JVM handler for SIGUSR2 then crashes.
        double[] list = new double[beats + 2];
        for (int i = 1; i <= beats; i++) {
            list[i] = i * 0.02;
        }
        list[beats + 1] = 1e300;
        AtomicLong tid = new AtomicLong();
        AtomicInteger taps = new AtomicInteger();
        AtomicInteger early = new AtomicInteger();
        long[] start = new long[1];
        CountDownLatch done = new CountDownLatch(beats);
        Tapper tapper = new Tapper(() -> {
            int i = taps.incrementAndGet();
            if (i <= beats && System.nanoTime() < start[0] + (long) (list[i] * 1e6) * 1000) {
                early.incrementAndGet();
            }
            if (i == 1) {
                tid.set(currentThreadId());
            }
            done.countDown();
        });
        tapper.setBeatList(list);
        tapper.startTapper();
        start[0] = tapper.startTimeNanos();
        while (tid.get() == 0) {
            Thread.sleep(1);
        }
        // kill(2) on a thread's id offers the signal to that thread first.
        Process kill = new ProcessBuilder("sh", "-c",
                "i=0; while [ $i -lt 100 ]; do kill -USR2 " + tid.get() + " || exit; i=$((i+1)); sleep 0.003; done")
                .inheritIO().start();
        kill.waitFor();
        done.await(5, TimeUnit.SECONDS);
        tapper.stopTapper();
        System.out.println("taps " + taps.get() + " of " + beats + ", early " + early.get());
    }

    /**
     * tap() hands work to an executor and waits for it; that work calls System.exit(), and a shutdown hook stops
     * the tapper.
     */
    private static void exitWhileTapWaits() throws Exception {
        ExecutorService ui = Executors.newSingleThreadExecutor();
        AtomicInteger taps = new AtomicInteger();
        Tapper tapper = new Tapper(() -> {
            if (taps.incrementAndGet() == 2) {
                try {
                    ui.submit(() -> System.exit(0)).get();
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            }
        });
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            long begin = System.nanoTime();
            tapper.stopTapper();
            System.out.println("hook stopped the tapper in "
                    + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - begin) + " ms");
        }));
        tapper.setBeatList(new double[] {0, 0, 0.02, 10});
        tapper.startTapper();
        Thread.sleep(10_000);
    }

    /** A tap() that keeps the CPU busy for 300 ms without blocking. */
    private static void longTap() throws InterruptedException {
        CountDownLatch done = new CountDownLatch(2);
        Tapper tapper = new Tapper(() -> {
            long begin = System.nanoTime();
            while (System.nanoTime() - begin < 300_000_000L) {
                Thread.onSpinWait();
            }
            done.countDown();
        });
        tapper.setBeatList(new double[] {0, 0, 0});
        tapper.startTapper();
        boolean all = done.await(10, TimeUnit.SECONDS);
        tapper.stopTapper();
        System.out.println("real-time " + tapper.isRealTime() + ", both taps " + all);
    }

    /** A host that runs a plugin with the plugin's loader as context loader, as containers do. */
    private static void contextLoader() throws Exception {
        Path dir = Files.createTempDirectory("plugin");
        Files.writeString(dir.resolve("plugin.properties"), "name=plugin\n");
        try (URLClassLoader plugin = new URLClassLoader(new URL[] {dir.toUri().toURL()})) {
            Thread.currentThread().setContextClassLoader(plugin);
            AtomicReference<String> seen = new AtomicReference<>();
            CountDownLatch tapped = new CountDownLatch(1);
            Tapper tapper = new Tapper(() -> {
                ClassLoader loader = Thread.currentThread().getContextClassLoader();
                seen.set("context loader is the starter's: " + (loader == plugin)
                        + ", resource found: " + (loader.getResource("plugin.properties") != null));
                tapped.countDown();
            });
            tapper.setBeatList(new double[] {0, 0});
            tapper.startTapper();
            tapped.await(5, TimeUnit.SECONDS);
            tapper.stopTapper();
            System.out.println(seen.get());
        }
    }

    /**
     * Cycles set, start and stop while nobody reads standard output, which another thread fills, so that the
     * library's lines block; another thread keeps stopping the tapper. Writes to the report file whether those stops kept returning once
     * the output was blocked; then waits to be killed, since even the JVM's exit may write to standard output.
     */
    private static void blockedOutput(Path report, int secondsToBlock) throws Exception {
        // Another writer fills the pipe, however large, so that the library's next line blocks soon.
        Thread filler = new Thread(() -> {
            String block = "filler\n".repeat(512);
            while (true) {
                System.out.print(block);
                System.out.flush();
            }
        }, "filler");
        filler.setDaemon(true);
        filler.start();
        AtomicInteger cycles = new AtomicInteger();
        Thread cycler = new Thread(() -> {
            Tapper tapper = new Tapper();
            while (true) {
                try {
                    tapper.setBeatList(new double[] {0, 10});
                    tapper.startTapper();
                } catch (IllegalStateException e) {
                    // the stopper's stop came between the two
                }
                tapper.stopTapper();
                cycles.incrementAndGet();
            }
        }, "cycler");
        cycler.setDaemon(true);
        cycler.start();
        AtomicInteger stops = new AtomicInteger();
        Thread stopper = new Thread(() -> {
            Tapper tapper = new Tapper();
            while (true) {
                tapper.stopTapper();
                stops.incrementAndGet();
                try {
                    Thread.sleep(1);
                } catch (InterruptedException e) {
                    return;
                }
            }
        }, "stopper");
        stopper.setDaemon(true);
        stopper.start();
        // Blocked: the cycles stop moving for half a second.
        int last = -1;
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(secondsToBlock);
        while (cycles.get() != last && System.nanoTime() < deadline) {
            last = cycles.get();
            Thread.sleep(500);
        }
        int stopsBefore = stops.get();
        Thread.sleep(500);
        String verdict = cycles.get() == last
                ? "output blocked after " + last + " cycles; stops in the next 0.5 s: " + (stops.get() - stopsBefore)
                : "the output never blocked";
        Files.writeString(report.resolveSibling(report.getFileName() + ".tmp"), verdict + "\n", StandardCharsets.UTF_8);
        Files.move(report.resolveSibling(report.getFileName() + ".tmp"), report);
        Thread.sleep(Long.MAX_VALUE);
    }

    /**
     * A rhythm whose callback holds 64 MB ends by itself; once its thread has ended, the Tapper, and so the
     * callback, must be collectable without any further call into the library.
     */
    private static void endedRhythmCollectable() throws Exception {
        AtomicReference<Thread> tapperThread = new AtomicReference<>();
        WeakReference<byte[]> held = rhythmHolding(new byte[64 << 20], tapperThread);
        tapperThread.get().join(5000);
        for (int i = 0; i < 50 && held.get() != null; i++) {
            System.gc();
            Thread.sleep(20);
        }
        System.out.println("collected " + (held.get() == null));
    }

    private static WeakReference<byte[]> rhythmHolding(byte[] payload, AtomicReference<Thread> thread)
            throws InterruptedException {
        CountDownLatch tapped = new CountDownLatch(1);
        Tapper tapper = new Tapper(() -> {
            if (payload.length > 0) {
                thread.set(Thread.currentThread());
                tapped.countDown();
            }
        });
        tapper.setBeatList(new double[] {0, 0});
        tapper.startTapper();
        tapped.await(5, TimeUnit.SECONDS);
        return new WeakReference<>(payload);
    }

    /** One start, and what it threw. */
    private static void start() {
        Tapper tapper = new Tapper();
        tapper.setBeatList(new double[] {0, 0});
        try {
            tapper.startTapper();
            System.out.println("started");
        } catch (RuntimeException | Error e) {
            System.out.println("threw " + e);
        }
        tapper.stopTapper();
        PrintStream out = System.out;
        try {
            out.println("start time: " + tapper.startTimeNanos());
        } catch (IllegalStateException e) {
            out.println("no start time");
        }
    }

    /**
     * A plugin host: each plugin loads the jar in a class loader of its own, plays a short rhythm that ends by
     * itself, and is dropped at its last tap(). Prints how many loaders were collected (each unloads its copy of
     * the library) and how far the address space grew after the first tenth of them.
     */
    private static void plugins(int count) throws Exception {
        URL jar = Tapper.class.getProtectionDomain().getCodeSource().getLocation();
        List<WeakReference<ClassLoader>> loaders = new ArrayList<>();
        long baseline = 0;
        for (int i = 0; i < count; i++) {
            loaders.add(playPlugin(jar));
            System.gc();
            if (i == count / 10) {
                baseline = vmSizeKb();
            }
        }
        for (int i = 0; i < 100 && loaders.stream().anyMatch(l -> l.get() != null); i++) {
            System.gc();
            Thread.sleep(20);
        }
        Thread.sleep(200); // the last unloads run on the JVM's cleaner thread
        long collected = loaders.stream().filter(l -> l.get() == null).count();
        System.out.println("plugins " + count + ", loaders collected " + collected + ", VmSize grew "
                + (vmSizeKb() - baseline) / 1024 + " MB");
    }

    private static WeakReference<ClassLoader> playPlugin(URL jar) throws Exception {
        CountDownLatch lastTap = new CountDownLatch(1);
        URLClassLoader loader = new URLClassLoader(new URL[] {jar}, ClassLoader.getPlatformClassLoader());
        Class<?> tapperClass = Class.forName("drovak.android.Tapper", true, loader);
        Object tapper = tapperClass.getConstructor(Runnable.class).newInstance((Runnable) lastTap::countDown);
        tapperClass.getMethod("setBeatList", double[].class).invoke(tapper, (Object) new double[] {0, 0.002});
        tapperClass.getMethod("startTapper").invoke(tapper);
        if (!lastTap.await(5, TimeUnit.SECONDS)) {
            throw new AssertionError("the plugin's rhythm never tapped");
        }
        loader.close();
        return new WeakReference<>(loader);
    }

    private static long vmSizeKb() throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmSize:")) {
                return Long.parseLong(line.replaceAll("\\D", ""));
            }
        }
        return -1;
    }

    /**
     * A virtual thread stops the tapper while tap() waits for a lock that another virtual thread holds across a
     * sleep: with one carrier, a stop that held it while waiting for tap() would never let that sleeper go on.
     * Needs JDK 21 or later (run with -Djdk.virtualThreadScheduler.parallelism=1).
     */
    private static void virtualStop() throws Exception {
        ReentrantLock shared = new ReentrantLock();
        CountDownLatch tapWaits = new CountDownLatch(1);
        Tapper tapper = new Tapper(() -> {
            tapWaits.countDown();
            shared.lock();
            shared.unlock();
        });
        CountDownLatch locked = new CountDownLatch(1);
        Thread sleeper = startVirtual(() -> {
            shared.lock();
            try {
                locked.countDown();
                Thread.sleep(300);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            } finally {
                shared.unlock();
            }
        });
        locked.await();
        tapper.setBeatList(new double[] {0, 0, 0.001, 10});
        tapper.startTapper();
        tapWaits.await();
        long begin = System.nanoTime();
        Thread stopper = startVirtual(tapper::stopTapper);
        stopper.join(10_000);
        sleeper.join(10_000);
        System.out.println(stopper.isAlive() ? "the stop hung"
                : "stopped in " + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - begin) + " ms");
    }

    /** Thread.ofVirtual().start(task), on a JDK that has it; these tests compile for JDK 11. */
    private static Thread startVirtual(Runnable task) throws Exception {
        Object builder = Thread.class.getMethod("ofVirtual").invoke(null);
        Method start = Class.forName("java.lang.Thread$Builder").getMethod("start", Runnable.class);
        return (Thread) start.invoke(builder, task);
    }

    /** The kernel's id of the calling thread, from /proc/thread-self. */
    static long currentThreadId() {
        try {
            String target = Files.readSymbolicLink(Path.of("/proc/thread-self")).toString();
            return Long.parseLong(target.substring(target.lastIndexOf('/') + 1));
        } catch (Exception e) {
            throw new IllegalStateException(e);
        }
    }
}
