package drovak.tembrix.bench;

/**
 * The library, in its default mode or precise. Lateness counts from {@code System.nanoTime()} read right before
 * {@code startTapper()}, and so includes the thread's start. The library reads its t0 inside the new tapper thread,
 * where Java cannot see it; when the bench JNI helper can trace the library's clock, t0 is its first clock reading
 * after the start point. Otherwise it is what {@code Tapper.startTimeNanos()} reports, which on Linux is that same
 * reading. Either is taken as exact if it lies within the start call; else the time {@code startTapper()} takes to
 * return bounds t0 from above, since the library returns only once its thread has read t0 and attached to the JVM.
 * Whether the thread got real-time scheduling is what {@code Tapper.isRealTime()} says;
 * its CPU time is the tapper thread's own, the precise mode's spin included.
 */
final class LibraryContender implements Contender {

    private final RecordingTapper tapper;

    private final boolean traced;

    private final boolean precise;

    LibraryContender(RecordingTapper tapper, boolean traced) {
        this(tapper, traced, false);
    }

    LibraryContender(RecordingTapper tapper, boolean traced, boolean precise) {
        this.tapper = tapper;
        this.traced = traced;
        this.precise = precise;
    }

    @Override
    public String name() {
        return precise ? Report.LIBRARY_PRECISE : Report.LIBRARY;
    }

    @Override
    public Run run(Schedule schedule) throws InterruptedException {
        tapper.expect(schedule.size());
        tapper.setBeatList(schedule.toBeatList());
        tapper.setPrecise(precise);
        if (traced) {
            JniBaseline.armT0();
        }
        long start = System.nanoTime();
        tapper.startTapper();
        long returned = System.nanoTime();
        long t0 = traced ? JniBaseline.takeT0() : tapper.startTimeNanos();
        boolean finished = tapper.awaitAll(Contender.timeoutMillis(schedule));
        tapper.stopTapper();
        if (!finished) {
            throw new IllegalStateException(name() + " tapped " + tapper.count() + " of " + schedule.size()
                    + " beats of the " + schedule.name() + " in time");
        }
        long[] lateness = Contender.lateness(tapper.taps(), start, schedule);
        Scheduling scheduling = Scheduling.ofLibrary(tapper.isRealTime());
        if (t0 >= start && t0 <= returned) {
            return new Run(lateness, t0 - start, true, scheduling, tapper.cpuNanos());
        }
        return new Run(lateness, returned - start, false, scheduling, tapper.cpuNanos());
    }
}
