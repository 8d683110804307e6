package drovak.tembrix.bench;

import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ScheduledThreadPoolExecutor;
import java.util.concurrent.TimeUnit;

/**
 * A {@link ScheduledThreadPoolExecutor} with one thread and one {@code schedule} per beat, each delay taken
 * against the start point so that the schedule stays absolute. Its worker thread starts with the first
 * {@code schedule}, after the start point. Its CPU time is that thread's.
 */
final class ExecutorContender implements Contender {

    @Override
    public String name() {
        return "ScheduledThreadPoolExecutor";
    }

    @Override
    public Run run(Schedule schedule) throws InterruptedException {
        int beats = schedule.size();
        long[] taps = new long[beats];
        CpuSpan cpu = new CpuSpan(beats);
        CountDownLatch done = new CountDownLatch(beats);
        ScheduledThreadPoolExecutor executor = new ScheduledThreadPoolExecutor(1);
        try {
            long start = System.nanoTime();
            for (int i = 0; i < beats; i++) {
                int beat = i;
                executor.schedule(() -> {
                    taps[beat] = System.nanoTime();
                    cpu.beat();
                    done.countDown();
                }, start + schedule.offsetNanos(i) - System.nanoTime(), TimeUnit.NANOSECONDS);
            }
            if (!done.await(Contender.timeoutMillis(schedule), TimeUnit.MILLISECONDS)) {
                throw new IllegalStateException("the executor ran " + (beats - done.getCount()) + " of " + beats
                        + " beats of the " + schedule.name() + " in time");
            }
            return new Run(Contender.lateness(taps, start, schedule), -1, false, null, cpu.nanos());
        } finally {
            executor.shutdownNow();
            executor.awaitTermination(10, TimeUnit.SECONDS);
        }
    }
}
