package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;

/**
 * Each contender on a short schedule, in this JVM. Bounds are wide, for a noisy shared machine: they catch a beat
 * recorded against the wrong offset or not at all, never a slow one.
 */
class ContenderTest {

    /** Six beats 2 ms apart: each must be recorded against its own offset. */
    private static final Schedule SCHEDULE = Schedule.steady(6, 2_000);

    private static final long EARLIEST = -TimeUnit.MILLISECONDS.toNanos(2);
    private static final long LATEST = TimeUnit.SECONDS.toNanos(2);

    private static void assertPlausible(Contender.Run run, String who) {
        assertEquals(SCHEDULE.size(), run.lateness.length, who);
        for (int i = 0; i < run.lateness.length; i++) {
            long lateness = run.lateness[i];
            assertTrue(lateness >= EARLIEST && lateness < LATEST, who + " beat " + i + ": " + lateness + " ns");
        }
    }

    @Test
    void parkNanosLoopTapsEveryBeatAndKnowsItsT0() throws Exception {
        Contender.Run run = new ParkNanosContender().run(SCHEDULE);
        assertPlausible(run, "parkNanos");
        assertTrue(run.t0Exact);
        assertTrue(run.t0Nanos >= 0 && run.t0Nanos < LATEST, "t0 " + run.t0Nanos);
        long[] fromT0 = run.latenessFromT0();
        for (int i = 0; i < fromT0.length; i++) {
            assertEquals(run.lateness[i] - run.t0Nanos, fromT0[i], "beat " + i);
        }
    }

    @Test
    void executorAndTimerTapEveryBeatAndHaveNoT0OfTheirOwn() throws Exception {
        for (Contender contender : new Contender[] {new ExecutorContender(), new TimerContender()}) {
            Contender.Run run = contender.run(SCHEDULE);
            assertPlausible(run, contender.name());
            assertFalse(run.t0Exact);
            assertNull(run.latenessFromT0());
        }
    }

    /**
     * The sequencer's ticks are the offsets in microseconds only at the tempo its sequence sets: at its default
     * tempo every beat would come at half its offset, and the later ones earlier than the bounds allow.
     */
    @Test
    void midiSequencerSendsEveryBeatAtItsOffsetAndBoundsItsT0() throws Exception {
        Contender.Run run = new SequencerContender().run(SCHEDULE);
        assertPlausible(run, "sequencer");
        assertFalse(run.t0Exact);
        assertTrue(run.t0Nanos >= 0 && run.t0Nanos < LATEST, "tick 0 came " + run.t0Nanos + " ns after start()");
    }

    @Test
    void libraryTapsEveryBeatAndBoundsItsT0ByTheStartCall() throws Exception {
        RecordingTapper tapper = new RecordingTapper();
        Contender.Run run = new LibraryContender(tapper, false).run(SCHEDULE);
        assertPlausible(run, "tembrix");
        assertFalse(run.t0Exact, "without the JNI helper t0 is only bounded");
        assertTrue(run.t0Nanos > 0 && run.t0Nanos < LATEST, "startTapper() took " + run.t0Nanos + " ns");
        for (int i = 0; i < run.lateness.length; i++) {
            assertTrue(run.lateness[i] >= 0, "the library never taps early: beat " + i + " " + run.lateness[i]);
        }
    }

    @Nested
    class Runs {

        @Test
        void latenessCountsFromTheStartPointPlusEachOffset() {
            long start = 1_000_000_000L;
            long[] taps = new long[SCHEDULE.size()];
            for (int i = 0; i < taps.length; i++) {
                taps[i] = start + SCHEDULE.offsetNanos(i) + 100 * i;
            }
            assertArrayEquals(new long[] {0, 100, 200, 300, 400, 500}, Contender.lateness(taps, start, SCHEDULE));
        }

        @Test
        void latenessFromT0TakesOutTheStartUpOnlyWhenT0IsExact() {
            long[] lateness = {700, 750, 900};
            assertArrayEquals(new long[] {200, 250, 400}, new Contender.Run(lateness, 500, true).latenessFromT0());
            assertNull(new Contender.Run(lateness, 500, false).latenessFromT0());
        }

        @Test
        void timeoutLeavesTenSecondsPastTheLastBeat() {
            assertEquals(10_012, Contender.timeoutMillis(SCHEDULE));
        }
    }

    @Nested
    class Recording {

        @Test
        void keepsOnlyTheExpectedTapsAndReportsWhenTheyAreAllIn() throws Exception {
            RecordingTapper tapper = new RecordingTapper();
            tapper.expect(2);
            tapper.tap();
            assertFalse(tapper.awaitAll(1), "one of two taps");
            tapper.tap();
            tapper.tap();
            assertTrue(tapper.awaitAll(1));
            assertEquals(2, tapper.count(), "a tap beyond the expected ones is dropped");
            assertTrue(tapper.taps()[1] >= tapper.taps()[0]);
        }
    }
}
