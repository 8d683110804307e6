package drovak.tembrix.bench;

import java.util.Timer;
import java.util.TimerTask;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * A {@link Timer} with one task per beat. Timer delays are whole milliseconds, so each is the time left to the
 * beat rounded up. The timer's thread starts with it, after the start point. Its CPU time is that thread's.
 */
final class TimerContender implements Contender {

    private static final long NANOS_PER_MILLI = 1_000_000L;

    @Override
    public String name() {
        return "java.util.Timer";
    }

    @Override
    public Run run(Schedule schedule) throws InterruptedException {
        int beats = schedule.size();
        long[] taps = new long[beats];
        CpuSpan cpu = new CpuSpan(beats);
        CountDownLatch done = new CountDownLatch(beats);
        long start = System.nanoTime();
        Timer timer = new Timer("Timer contender", true);
        try {
            for (int i = 0; i < beats; i++) {
                int beat = i;
                long left = start + schedule.offsetNanos(i) - System.nanoTime();
                timer.schedule(new TimerTask() {
                    @Override
                    public void run() {
                        taps[beat] = System.nanoTime();
                        cpu.beat();
                        done.countDown();
                    }
                }, Math.max(0, (left + NANOS_PER_MILLI - 1) / NANOS_PER_MILLI));
            }
            if (!done.await(Contender.timeoutMillis(schedule), TimeUnit.MILLISECONDS)) {
                throw new IllegalStateException("the timer ran " + (beats - done.getCount()) + " of " + beats
                        + " beats of the " + schedule.name() + " in time");
            }
            return new Run(Contender.lateness(taps, start, schedule), -1, false, null, cpu.nanos());
        } finally {
            timer.cancel();
        }
    }
}
