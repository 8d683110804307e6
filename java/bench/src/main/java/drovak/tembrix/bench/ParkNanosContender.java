package drovak.tembrix.bench;

import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;

/**
 * A plain Java loop with the library's algorithm: a new thread reads its t0, then parks once per beat for
 * (due - now) against {@code System.nanoTime()}. Lateness counts from {@code System.nanoTime()} read right
 * before {@code Thread.start()}. Its CPU time is that thread's.
 */
final class ParkNanosContender implements Contender {

    @Override
    public String name() {
        return "parkNanos loop";
    }

    @Override
    public Run run(Schedule schedule) throws InterruptedException {
        long[] offsets = schedule.offsetsNanos();
        long[] taps = new long[offsets.length];
        long[] t0 = new long[1];
        CpuSpan cpu = new CpuSpan(offsets.length);
        Thread thread = new Thread(() -> {
            long begin = System.nanoTime();
            t0[0] = begin;
            for (int i = 0; i < offsets.length; i++) {
                long delay = begin + offsets[i] - System.nanoTime();
                if (delay > 0) {
                    LockSupport.parkNanos(delay);
                }
                taps[i] = System.nanoTime();
                cpu.beat();
            }
        }, "parkNanos contender");
        long start = System.nanoTime();
        thread.start();
        thread.join(Contender.timeoutMillis(schedule));
        if (thread.isAlive()) {
            thread.interrupt();
            throw new IllegalStateException("the parkNanos loop did not finish the " + schedule.name() + " within "
                    + TimeUnit.MILLISECONDS.toSeconds(Contender.timeoutMillis(schedule)) + " s");
        }
        return new Run(Contender.lateness(taps, start, schedule), t0[0] - start, true, null,
                cpu.nanos());
    }
}
