package drovak.tembrix.bench;

/**
 * The library. Its t0 is read inside the new tapper thread, where Java cannot see it, so lateness counts from
 * {@code System.nanoTime()} read right before {@code startTapper()} and includes the thread's start. The
 * start-up reported is the time {@code startTapper()} takes to return, which bounds t0 from above: the library
 * returns only once its thread has read t0 and attached to the JVM.
 */
final class LibraryContender implements Contender {

    private final RecordingTapper tapper;

    LibraryContender(RecordingTapper tapper) {
        this.tapper = tapper;
    }

    @Override
    public String name() {
        return "tembrix";
    }

    @Override
    public Run run(Schedule schedule) throws InterruptedException {
        tapper.expect(schedule.size());
        tapper.setBeatList(schedule.toBeatList());
        long start = System.nanoTime();
        tapper.startTapper();
        long returned = System.nanoTime();
        boolean finished = tapper.awaitAll(Contender.timeoutMillis(schedule));
        tapper.stopTapper();
        if (!finished) {
            throw new IllegalStateException("the library tapped " + tapper.count() + " of " + schedule.size()
                    + " beats of the " + schedule.name() + " in time");
        }
        return new Run(Contender.lateness(tapper.taps(), start, schedule), returned - start);
    }
}
