package com.example.click;

import drovak.android.Tapper;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * Taps three beats 20 ms apart and says from which module the tapper came; exits with 1 if the taps do not all
 * come within 10 s.
 */
public final class Click {

    private Click() {}

    public static void main(String[] args) throws InterruptedException {
        double[] beats = {0.0, 0.02, 0.04, 0.06};
        CountDownLatch taps = new CountDownLatch(beats.length - 1);
        try (Tapper tapper = new Tapper(taps::countDown)) {
            tapper.setBeatList(beats);
            tapper.startTapper();
            if (!taps.await(10, TimeUnit.SECONDS)) {
                System.out.println("click: " + taps.getCount() + " of " + (beats.length - 1) + " taps missing");
                System.exit(1);
            }
        }
        System.out.println("click: " + (beats.length - 1) + " taps from module " + Tapper.class.getModule().getName());
    }
}
