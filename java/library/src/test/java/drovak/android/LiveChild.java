package drovak.android;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;

/** Scenarios of rhythms that grow while they play, which LiveListTest runs in a JVM of their own. */
public final class LiveChild {

    private LiveChild() {}

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "append":
                append();
                break;
            case "end-race":
                endRace(Integer.parseInt(args[1]));
                break;
            case "endless":
                endless(Integer.parseInt(args[1]));
                break;
            case "metronome":
                metronome();
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }

    /**
     * Phrases chained from the last tap() of each, and one appended by another thread while the rhythm plays: every
     * beat is tapped in turn, none early, on the one schedule of 20 ms steps.
     */
    private static void append() throws Exception {
        List<Long> taps = new ArrayList<>();
        CountDownLatch thirdTapped = new CountDownLatch(1);
        CountDownLatch appendedFromOutside = new CountDownLatch(1);
        CountDownLatch done = new CountDownLatch(1);
        Tapper[] tapper = new Tapper[1];
        tapper[0] = new Tapper(() -> {
            int n;
            synchronized (taps) {
                taps.add(System.nanoTime());
                n = taps.size();
            }
            if (n == 2 || n == 6) { // the last beat known: the rhythm goes on with these
                tapper[0].appendBeats(new double[] {0.02 * (n + 1), 0.02 * (n + 2)});
            } else if (n == 3) {
                thirdTapped.countDown();
            } else if (n == 4) { // appendBeats never waits for tap(): this tap() may wait for it
                await(appendedFromOutside);
            } else if (n == 8) {
                done.countDown();
            }
        });
        tapper[0].setBeatList(new double[] {0, 0.02, 0.04});
        tapper[0].startTapper();
        long start = tapper[0].startTimeNanos();
        await(thirdTapped);
        boolean playing = tapper[0].appendBeats(new double[] {0.10, 0.12});
        appendedFromOutside.countDown();
        boolean all = done.await(5, TimeUnit.SECONDS);
        tapper[0].stopTapper(5, TimeUnit.SECONDS);
        int early = 0;
        synchronized (taps) {
            for (int i = 0; i < taps.size(); i++) {
                if (taps.get(i) < start + (long) (0.02 * (i + 1) * 1e6) * 1000) {
                    early++;
                }
            }
            System.out.println("taps " + taps.size() + ", early " + early + ", appended from outside while playing "
                    + playing + ", all " + all);
        }
    }

    private static void await(CountDownLatch latch) {
        try {
            latch.await(5, TimeUnit.SECONDS);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /**
     * Appends a beat just as a one-beat rhythm ends, many times: true must mean that rhythm tapped it, false that
     * the next start plays it.
     */
    private static void endRace(int rounds) throws Exception {
        Semaphore tapped = new Semaphore(0);
        Tapper tapper = new Tapper(tapped::release);
        int extended = 0;
        int wrong = 0;
        for (int i = 0; i < rounds; i++) {
            // The one beat is due at once or within 0.4 ms, so that the append lands before or after its tap.
            tapper.setBeatList(new double[] {0, 1e-4 * (i % 5)});
            tapper.startTapper();
            boolean rhythmTapsIt = tapper.appendBeats(new double[] {0});
            if (rhythmTapsIt) {
                extended++;
            }
            // The rhythm taps 1 or 2 beats; a replay then plays the list and, if the append missed, its beat.
            int expected = rhythmTapsIt ? 2 : 1;
            if (!tapped.tryAcquire(expected, 5, TimeUnit.SECONDS) || tapped.tryAcquire(1, 5, TimeUnit.MILLISECONDS)) {
                wrong++;
            }
            if (!rhythmTapsIt) {
                tapper.startTapper();
                if (!tapped.tryAcquire(2, 5, TimeUnit.SECONDS)) {
                    wrong++;
                }
            }
            tapper.stopTapper();
        }
        System.out.println("rounds " + rounds + ", extended " + extended + ", wrong " + wrong);
    }

    /**
     * An endless rhythm fed one beat at a time from tap(): the resident set must not grow with the beats tapped.
     */
    private static void endless(int beats) throws Exception {
        int warmUp = beats / 10;
        double[] next = new double[1];
        AtomicInteger count = new AtomicInteger();
        CountDownLatch warm = new CountDownLatch(1);
        CountDownLatch done = new CountDownLatch(1);
        Tapper[] tapper = new Tapper[1];
        tapper[0] = new Tapper(() -> {
            int n = count.incrementAndGet();
            if (n == warmUp) {
                warm.countDown();
            }
            if (n < warmUp + beats) {
                tapper[0].appendBeats(next);
            } else {
                done.countDown();
            }
        });
        tapper[0].setBeatList(new double[] {0, 0});
        tapper[0].startTapper();
        warm.await();
        System.gc();
        long before = residentKb();
        done.await();
        long after = residentKb();
        tapper[0].stopTapper();
        System.out.println("appended " + beats + " after a warm-up, resident set grew " + (after - before) + " kB");
    }

    /**
     * A metronome at 1200 BPM goes to 2400 BPM from beat() of beat 4, and back from another thread after beat 10:
     * the interval before each beat is the period in force when it was handed over, with no gap at the changes.
     */
    private static void metronome() throws Exception {
        int beats = 24;
        long[] due = new long[beats];
        long[] at = new long[beats];
        CountDownLatch tenth = new CountDownLatch(1);
        CountDownLatch done = new CountDownLatch(1);
        Metronome[] metronome = new Metronome[1];
        metronome[0] = new Metronome(1200, (index, dueNanos) -> {
            long now = System.nanoTime();
            if (index < beats) {
                due[(int) index] = dueNanos;
                at[(int) index] = now;
            }
            if (index == 4) {
                metronome[0].setTempo(2400);
            } else if (index == 10) {
                tenth.countDown();
            }
            if (index == beats - 1) {
                done.countDown();
            }
        });
        metronome[0].start();
        tenth.await(10, TimeUnit.SECONDS);
        metronome[0].setTempo(1200);
        boolean all = done.await(10, TimeUnit.SECONDS);
        metronome[0].stop();
        StringBuilder intervals = new StringBuilder();
        int early = 0;
        for (int i = 0; i < beats; i++) {
            if (i > 0) {
                intervals.append(Math.round((due[i] - due[i - 1]) / 1e3)).append(' ');
            }
            if (at[i] < due[i]) {
                early++;
            }
        }
        System.out.println("all " + all + ", early " + early + ", intervals (us) " + intervals.toString().trim());
    }

    private static long residentKb() throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("\\D", ""));
            }
        }
        return -1;
    }
}
