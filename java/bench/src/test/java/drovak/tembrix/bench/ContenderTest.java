package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Paths;
import java.util.List;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Assumptions;
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

    /**
     * Every beat against its own offset, and the tapping thread's CPU time known: more than nothing, and no more
     * than the time from its first beat to its last (one thread cannot use more), which a CPU time in the wrong
     * unit or taken from the wrong readings would exceed.
     */
    private static void assertPlausible(Contender.Run run, String who) {
        assertEquals(SCHEDULE.size(), run.lateness.length, who);
        for (int i = 0; i < run.lateness.length; i++) {
            long lateness = run.lateness[i];
            assertTrue(lateness >= EARLIEST && lateness < LATEST, who + " beat " + i + ": " + lateness + " ns");
        }
        int last = run.lateness.length - 1;
        long span = run.lateness[last] + SCHEDULE.offsetNanos(last) - run.lateness[0] - SCHEDULE.offsetNanos(0);
        assertTrue(run.cpuNanos > 0 && run.cpuNanos <= span + TimeUnit.MILLISECONDS.toNanos(1),
                who + ": CPU " + run.cpuNanos + " ns over beats spanning " + span + " ns");
    }

    @Test
    void floorReportsItsThreadsCpuTime() throws Exception {
        String program = System.getProperty("tembrix.test.floor");
        Assumptions.assumeTrue(program != null, "no floor program named (-Dtembrix.test.floor)");
        assertPlausible(new Floor(Paths.get(program)).contender(true).run(SCHEDULE), "bare C");
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

    /** Without the JNI helper, t0 is what the library reports as its start: exact on Linux. */
    @Test
    void libraryTapsEveryBeatInBothModesAndKnowsItsT0() throws Exception {
        RecordingTapper tapper = new RecordingTapper();
        for (boolean precise : new boolean[] {false, true}) {
            LibraryContender contender = new LibraryContender(tapper, false, precise);
            Contender.Run run = contender.run(SCHEDULE);
            assertPlausible(run, contender.name());
            assertTrue(run.t0Exact, contender.name());
            assertTrue(run.t0Nanos > 0 && run.t0Nanos < LATEST, "t0 " + run.t0Nanos + " ns after the start point");
            long[] fromT0 = run.latenessFromT0();
            for (int i = 0; i < fromT0.length; i++) {
                assertTrue(fromT0[i] >= 0, contender.name() + " never taps before the due time: beat " + i + " "
                        + fromT0[i]);
            }
        }
        assertTrue(tapper.isPrecise(), "the precise run was started precise");
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

        /**
         * Two runs of the 2 ms grid: CPU per beat pools the runs' CPU over all their intervals, and the share of
         * a core over the time their beats spanned (the offsets plus the last beat's lateness less the first's).
         */
        @Test
        void cpuUsePoolsTheRunsAndNeedsEveryRunsCpuTime() {
            Contender.Run early = new Contender.Run(new long[] {100, 0, 0, 0, 0, 100}, 0, true, null, 300_000);
            Contender.Run late = new Contender.Run(new long[] {0, 0, 0, 0, 0, 2_000_000}, 0, true, null, 900_000);
            CpuUse use = CpuUse.of(List.of(early, late), SCHEDULE);
            assertEquals(120_000, use.perBeatNanos(), 1e-9, "1.2 ms over 10 intervals");
            assertEquals(1.2e6 / 22e6, use.shareOfCore(), 1e-12, "10 ms and 12 ms spanned");
            assertNull(CpuUse.of(List.of(early, new Contender.Run(new long[6], 0, true)), SCHEDULE),
                    "one run's CPU time unknown");
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
