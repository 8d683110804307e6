package drovak.android;

import java.nio.charset.StandardCharsets;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;

/** Scenarios that RealTimeTest runs in a JVM of their own, granted real-time scheduling or not. */
public final class RealTimeChild {

    private RealTimeChild() {}

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "policy":
                policy();
                break;
            case "spin":
                spin();
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }

    /**
     * Taps 20 beats. The first tap takes the tapper thread's id; while the thread sleeps towards the second, a
     * second away, main reads its policy (a slow tap() may be demoted by the library's watchdog, the sleep never
     * is). The last tap reads the policy of a process it starts. Prints them, whether the Tapper says it runs
     * real-time, and the number of taps, after the rhythm, so that nothing comes between the library's lines.
     */
    private static void policy() throws Exception {
        int beats = 20;
        AtomicInteger taps = new AtomicInteger();
        AtomicLong tid = new AtomicLong();
        String[] child = new String[1];
        CountDownLatch first = new CountDownLatch(1);
        CountDownLatch done = new CountDownLatch(beats);
        policyOfAProcessStartedHere(); // loads what the last tap needs
        Tapper tapper = new Tapper(() -> {
            int tap = taps.incrementAndGet();
            if (tap == 1) {
                tid.set(ThreadPolicy.currentThreadId());
                first.countDown();
            } else if (tap == beats) {
                child[0] = policyOfAProcessStartedHere();
            }
            done.countDown();
        });
        double[] list = new double[beats + 1];
        for (int i = 2; i <= beats; i++) {
            list[i] = 1.0 + i * 0.005;
        }
        tapper.setBeatList(list);
        tapper.startTapper();
        first.await(10, TimeUnit.SECONDS);
        Thread.sleep(100);
        String sleeping = ThreadPolicy.ofThread(tid.get());
        boolean all = done.await(10, TimeUnit.SECONDS);
        tapper.stopTapper();
        System.out.println("tapper " + sleeping + ", isRealTime " + tapper.isRealTime());
        System.out.println("child process " + child[0]);
        System.out.println("taps " + taps.get() + " of " + beats + (all ? "" : " (timed out)"));
    }

    private static String policyOfAProcessStartedHere() {
        try {
            Process cat = new ProcessBuilder("cat", "/proc/self/stat").redirectErrorStream(true).start();
            String stat = new String(cat.getInputStream().readAllBytes(), StandardCharsets.US_ASCII);
            cat.waitFor();
            return ThreadPolicy.describe(stat);
        } catch (Exception e) {
            return e.toString();
        }
    }

    /**
     * The first tap spins at least a second, and until 0.3 s after main has begun to stop the tapper; main begins
     * 0.2 s into the spin, or whenever a busy machine lets it. Meanwhile a watchdog thread at normal priority
     * sleeps 10 ms at a time and counts its wake-ups. Prints the tapper thread's policy, the spin's length and the
     * watchdog's wake-ups in it, how long stopTapper() took, whether it returned after the tap had ended, and how
     * many beats were tapped.
     */
    private static void spin() throws Exception {
        long minSpinNanos = TimeUnit.SECONDS.toNanos(1);
        long afterStopNanos = TimeUnit.MILLISECONDS.toNanos(300);
        long maxSpinNanos = TimeUnit.SECONDS.toNanos(8);
        AtomicInteger ticks = new AtomicInteger();
        Thread watchdog = new Thread(() -> {
            while (!Thread.currentThread().isInterrupted()) {
                try {
                    Thread.sleep(10);
                } catch (InterruptedException e) {
                    return;
                }
                ticks.incrementAndGet();
            }
        }, "watchdog");
        watchdog.setDaemon(true);
        watchdog.start();

        AtomicInteger taps = new AtomicInteger();
        AtomicLong stopBegan = new AtomicLong();
        long[] spinEnd = new long[1];
        long[] spinNanos = new long[1];
        int[] ticksDuringSpin = new int[1];
        CountDownLatch spinning = new CountDownLatch(1);
        Tapper tapper = new Tapper(() -> {
            if (taps.getAndIncrement() > 0) {
                return;
            }
            int before = ticks.get();
            spinning.countDown();
            long begin = System.nanoTime();
            long now = begin;
            while (now - begin < maxSpinNanos
                    && (now - begin < minSpinNanos || stopBegan.get() == 0 || now - stopBegan.get() < afterStopNanos)) {
                Thread.onSpinWait();
                now = System.nanoTime();
            }
            spinEnd[0] = now;
            spinNanos[0] = now - begin;
            ticksDuringSpin[0] = ticks.get() - before;
        });
        // The second beat is due during the spin; the stop comes first, so it is never tapped.
        tapper.setBeatList(new double[] {0, 0, 0.5});
        tapper.startTapper();
        if (!spinning.await(10, TimeUnit.SECONDS)) {
            throw new AssertionError("the first tap never came");
        }
        Thread.sleep(200);
        stopBegan.set(System.nanoTime());
        tapper.stopTapper();
        long stopped = System.nanoTime();
        System.out.println("tapper isRealTime " + tapper.isRealTime());
        System.out.println("spin ms " + TimeUnit.NANOSECONDS.toMillis(spinNanos[0]));
        System.out.println("watchdog ticks during the spin " + ticksDuringSpin[0]);
        System.out.println("stopTapper ms " + TimeUnit.NANOSECONDS.toMillis(stopped - stopBegan.get()));
        System.out.println("stopTapper returned after the tap " + (stopped - spinEnd[0] >= 0));
        System.out.println("taps " + taps.get());
    }
}
