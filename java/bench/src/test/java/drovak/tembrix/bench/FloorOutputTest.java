package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;

class FloorOutputTest {

    @Nested
    class ScheduleRuns {

        @Test
        void readsSlackPolicyStartUpEachLatenessInOrderAndTheCpuTime() {
            FloorOutput.ScheduleRun run = FloorOutput.parseSchedule("slack_ns 1\npolicy 1\nt0_ns 86092\n"
                    + "lateness_ns 174154\nlateness_ns -12\n\nlateness_ns 0\ncpu_ns 9120\n", 3);
            assertEquals(1, run.slackNanos);
            assertEquals(1, run.policy);
            assertEquals(86_092, run.t0Nanos);
            assertArrayEquals(new long[] {174_154, -12, 0}, run.lateness);
            assertEquals(9_120, run.cpuNanos);
            assertEquals(ThreadCpu.UNKNOWN,
                    FloorOutput.parseSchedule("slack_ns 1\npolicy 0\nt0_ns 2\nlateness_ns 5\n", 1).cpuNanos,
                    "a floor program that does not tell its CPU time");
        }

        @Test
        void rejectsAMissingFieldOrAWrongBeatCount() {
            IllegalArgumentException noT0 = assertThrows(IllegalArgumentException.class,
                    () -> FloorOutput.parseSchedule("slack_ns 1\npolicy 0\nlateness_ns 5\n", 1));
            assertTrue(noT0.getMessage().contains("t0_ns"), noT0.getMessage());
            IllegalArgumentException noPolicy = assertThrows(IllegalArgumentException.class,
                    () -> FloorOutput.parseSchedule("slack_ns 1\nt0_ns 2\nlateness_ns 5\n", 1));
            assertTrue(noPolicy.getMessage().contains("policy"), noPolicy.getMessage());
            IllegalArgumentException count = assertThrows(IllegalArgumentException.class,
                    () -> FloorOutput.parseSchedule("slack_ns 1\npolicy 0\nt0_ns 2\nlateness_ns 5\n", 2));
            assertTrue(count.getMessage().contains("1 beats, expected 2"), count.getMessage());
        }

        @Test
        void rejectsMalformedLines() {
            assertThrows(IllegalArgumentException.class,
                    () -> FloorOutput.parseSchedule("slack_ns 1\npolicy 0\nt0_ns 2\nlateness_ns 5 6\n", 1));
            assertThrows(IllegalArgumentException.class,
                    () -> FloorOutput.parseSchedule("slack_ns 1\npolicy 0\nt0_ns 2\nlateness_ns 5.5\n", 1));
            assertThrows(IllegalArgumentException.class,
                    () -> FloorOutput.parseSchedule("slack_ns 1\npolicy 0\nt0_ns 2\nusage: tembrix_floor\n", 0));
        }
    }

    @Nested
    class Stops {

        @Test
        void readsEachStopInOrder() {
            assertArrayEquals(new long[] {41_000, 39_500}, FloorOutput.parseStops("stop_ns 41000\nstop_ns 39500\n"));
        }

        @Test
        void rejectsOtherLinesAndNoStops() {
            assertThrows(IllegalArgumentException.class, () -> FloorOutput.parseStops("stop_ns 1\nbeats 2\n"));
            assertThrows(IllegalArgumentException.class, () -> FloorOutput.parseStops("\n"));
        }
    }

    @Nested
    class OverdueRuns {

        @Test
        void rateCountsTheIntervalsBetweenFirstAndLastBeat() {
            FloorOutput.OverdueRun run = FloorOutput.parseOverdue("beats 1001\nelapsed_ns 500000\neinval 1001\n");
            assertEquals(1001, run.beats);
            assertEquals(1001, run.einval);
            assertEquals(2_000_000.0, run.tapsPerSecond(), 1e-6);
        }

        @Test
        void rejectsIncompleteOutput() {
            assertThrows(IllegalArgumentException.class, () -> FloorOutput.parseOverdue("beats 10\nelapsed_ns 5\n"));
            assertThrows(IllegalArgumentException.class, () -> FloorOutput.parseOverdue(""));
        }
    }
}
