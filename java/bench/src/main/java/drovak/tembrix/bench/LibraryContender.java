package drovak.tembrix.bench;

/**
 * The library. Lateness counts from {@code System.nanoTime()} read right before {@code startTapper()}, and so
 * includes the thread's start. The library reads its t0 inside the new tapper thread, where Java cannot see it;
 * when the bench JNI helper can trace the library's clock, t0 is its first clock reading after the start point
 * (exact). Otherwise the time {@code startTapper()} takes to return bounds it from above, since the library
 * returns only once its thread has read t0 and attached to the JVM. Whether the thread got real-time scheduling
 * is what {@code Tapper.isRealTime()} says.
 */
final class LibraryContender implements Contender {

    private final RecordingTapper tapper;

    private final boolean traced;

    LibraryContender(RecordingTapper tapper, boolean traced) {
        this.tapper = tapper;
        this.traced = traced;
    }

    @Override
    public String name() {
        return "tembrix";
    }

    @Override
    public Run run(Schedule schedule) throws InterruptedException {
        tapper.expect(schedule.size());
        tapper.setBeatList(schedule.toBeatList());
        if (traced) {
            JniBaseline.armT0();
        }
        long start = System.nanoTime();
        tapper.startTapper();
        long returned = System.nanoTime();
        long t0 = traced ? JniBaseline.takeT0() : -1;
        boolean finished = tapper.awaitAll(Contender.timeoutMillis(schedule));
        tapper.stopTapper();
        if (!finished) {
            throw new IllegalStateException("the library tapped " + tapper.count() + " of " + schedule.size()
                    + " beats of the " + schedule.name() + " in time");
        }
        long[] lateness = Contender.lateness(tapper.taps(), start, schedule);
        Scheduling scheduling = Scheduling.ofLibrary(tapper.isRealTime());
        if (t0 >= start && t0 <= returned) {
            return new Run(lateness, t0 - start, true, scheduling);
        }
        return new Run(lateness, returned - start, false, scheduling);
    }
}
