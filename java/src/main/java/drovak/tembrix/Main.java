package drovak.tembrix;

import drovak.android.Tapper;
import java.util.concurrent.CountDownLatch;

/** Taps a short rhythm through the native library and prints when each tap lands. */
public final class Main {

    private Main() {}

    public static void main(String[] args) throws InterruptedException {
        double[] beats = {0.0, 0.25, 0.5, 0.75, 1.0, 1.125, 1.25, 1.5, 2.0};
        CountDownLatch done = new CountDownLatch(beats.length - 1);
        long[] start = new long[1];
        int[] count = new int[1];
        Tapper tapper = new Tapper(() -> {
            long offsetUs = (System.nanoTime() - start[0]) / 1000;
            count[0]++;
            System.out.printf("tap %d at %d us (due %d us)%n", count[0], offsetUs,
                    (long) (beats[count[0]] * 1e6));
            done.countDown();
        });
        tapper.setBeatList(beats);
        start[0] = System.nanoTime();
        tapper.startTapper();
        done.await();
        tapper.stopTapper();
    }
}
