package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.Test;

class PhaseCaseTest {

    private static final int S = PhaseCase.BEATS_PER_SEGMENT;

    /**
     * A tempo run with one change, 10 ms then 12 ms: the restarted rhythm's schedule moved 300 us and every beat
     * comes 50 us after its own due time. The ideal schedule runs on from the last beat before the change at the
     * new period, so the phase error is 350 us at each beat, not growing by 2 ms a beat as it would at the old one.
     */
    @Test
    void phaseErrorCountsFromTheLastBeatBeforeTheChangeAtTheNewPeriod() {
        PhaseCase.PhaseRun run = new PhaseCase.PhaseRun(PhaseCase.intervals(PhaseCase.Way.RESTART_TEMPO, 1));
        long start = 1_000_000_000L;
        for (int j = 0; j < S; j++) {
            long due = start + (j + 1) * 10_000_000L;
            run.record(j, due + 50_000, due);
        }
        long lastDue = start + S * 10_000_000L;
        for (int j = 0; j < S; j++) {
            long due = lastDue + 300_000 + (j + 1) * 12_000_000L;
            run.record(S + j, due + 50_000, due);
        }
        run.strays = 1;
        PhaseCase.Errors errors = PhaseCase.Errors.of(run);
        assertEquals(1, errors.changes);
        assertArrayEquals(new long[] {350_000, 350_000, 350_000, 350_000}, errors.phase);
        assertArrayEquals(new long[] {300_000}, errors.shift);
        assertArrayEquals(new long[] {50_000, 50_000}, errors.elsewhere);

        PhaseCase.Errors pooled = PhaseCase.Errors.pool(List.of(errors, errors));
        assertEquals(2, pooled.changes);
        assertEquals(2 * PhaseCase.MEASURED_BEATS, pooled.phase.length);
        assertEquals(2, pooled.strays);
    }

    @Test
    void tempoAlternatesItsPeriodAndPhrasesRepeatTheirIntervals() {
        long[][] tempo = PhaseCase.intervals(PhaseCase.Way.METRONOME, 2);
        assertEquals(3, tempo.length);
        assertEquals(PhaseCase.FAST_PERIOD_NANOS, tempo[0][S - 1]);
        assertEquals(PhaseCase.SLOW_PERIOD_NANOS, tempo[1][0]);
        assertEquals(PhaseCase.FAST_PERIOD_NANOS, tempo[2][0]);
        assertArrayEquals(PhaseCase.PHRASE_INTERVALS_NANOS, PhaseCase.intervals(PhaseCase.Way.START_PHRASE, 2)[2]);
    }

    /**
     * Each way on the library, briefly: every beat comes, appended beats keep the schedule exactly (the
     * metronome's to within its cut to the microsecond), and a restarted rhythm's schedule always moves later,
     * since its t0 is read after the offsets were counted. These are facts of the bookkeeping, not of speed.
     */
    @Test
    void appendedBeatsKeepTheScheduleAndRestartedOnesMoveIt() throws Exception {
        for (PhaseCase.Way way : PhaseCase.Way.values()) {
            PhaseCase.Errors errors = PhaseCase.Errors.of(PhaseCase.run(way, 2));
            assertEquals(2, errors.changes, way.how);
            for (long shift : errors.shift) {
                switch (way) {
                    case METRONOME:
                        assertTrue(Math.abs(shift) < 1_000, way.how + ": shift " + shift + " ns");
                        break;
                    case APPEND_PHRASE:
                        assertEquals(0, shift, way.how);
                        break;
                    default:
                        assertTrue(shift > 0, way.how + ": shift " + shift + " ns");
                }
            }
            for (long late : errors.elsewhere) {
                assertTrue(late >= 0, way.how + ": a beat before its due time, " + late + " ns");
            }
        }
    }
}
