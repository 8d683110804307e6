package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import org.junit.jupiter.api.Test;

class ScheduleTest {

    /** How the library turns a beat time in seconds into nanoseconds from t0. */
    private static long libraryNanos(double seconds) {
        return (long) (seconds * 1e6) * 1000;
    }

    @Test
    void steadyGridIsExactMultiplesOfTheInterval() {
        Schedule grid = Schedule.steady(4, 3000);
        assertArrayEquals(new long[] {3_000_000, 6_000_000, 9_000_000, 12_000_000}, grid.offsetsNanos());
        assertEquals(12_000_000, grid.durationNanos());
        assertEquals("steady 3 ms grid", grid.name());
    }

    @Test
    void irregularRhythmIsFixedBySeedAndStaysWithinItsBounds() {
        Schedule a = Schedule.irregular(2000, 7, 250, 6250);
        Schedule b = Schedule.irregular(2000, 7, 250, 6250);
        assertArrayEquals(a.offsetsNanos(), b.offsetsNanos(), "same seed, same rhythm");
        assertFalse(Arrays.equals(a.offsetsNanos(), Schedule.irregular(2000, 8, 250, 6250).offsetsNanos()));
        long previous = 0;
        long shortest = Long.MAX_VALUE;
        long longest = 0;
        for (long offset : a.offsetsNanos()) {
            long interval = offset - previous;
            assertEquals(0, offset % 1000, "whole microseconds");
            shortest = Math.min(shortest, interval);
            longest = Math.max(longest, interval);
            previous = offset;
        }
        assertTrue(shortest >= 250_000 && longest < 6_250_000, shortest + " .. " + longest);
        assertTrue(longest - shortest > 4_000_000, "intervals spread over the range");
    }

    @Test
    void beatListLandsExactlyOnEachOffsetAfterTheLibrarysTruncation() {
        for (Schedule schedule : new Schedule[] {Schedule.steady(3000, 3000), Schedule.irregular(3000, 1, 1, 9999)}) {
            double[] list = schedule.toBeatList();
            assertEquals(schedule.size() + 1, list.length);
            assertEquals(0.0, list[0], "element 0 is never tapped");
            for (int i = 0; i < schedule.size(); i++) {
                assertEquals(schedule.offsetNanos(i), libraryNanos(list[i + 1]), "beat " + i);
            }
        }
    }

    @Test
    void secondsForRoundsUpOnlyWhereTheQuotientWouldTruncateLow() {
        for (long micros = 0; micros < 200_000; micros++) {
            double seconds = Schedule.secondsFor(micros);
            assertEquals(micros, (long) (seconds * 1e6));
            assertTrue(Math.abs(seconds - micros / 1e6) <= 4 * Math.ulp(seconds), "near micros/1e6");
        }
    }

    @Test
    void prefixKeepsTheFirstBeats() {
        Schedule grid = Schedule.steady(10, 1000);
        assertArrayEquals(new long[] {1_000_000, 2_000_000}, grid.prefix(2).offsetsNanos());
        assertEquals(10, grid.prefix(50).size());
    }

    @Test
    void rejectsEmptyOrInvertedParameters() {
        assertThrows(IllegalArgumentException.class, () -> Schedule.steady(0, 3000));
        assertThrows(IllegalArgumentException.class, () -> Schedule.steady(5, 0));
        assertThrows(IllegalArgumentException.class, () -> Schedule.irregular(5, 1, 500, 500));
        assertThrows(IllegalArgumentException.class, () -> Schedule.irregular(5, 1, 0, 500));
    }
}
