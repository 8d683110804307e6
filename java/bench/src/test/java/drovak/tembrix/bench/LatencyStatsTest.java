package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.List;
import org.junit.jupiter.api.Test;

class LatencyStatsTest {

    @Test
    void jitterIsTakenAgainstEachRunsOwnMinimum() {
        // Two runs with different start-up offsets: jitter must not mix them.
        LatencyStats stats = LatencyStats.of(List.of(new long[] {100, 130, 110}, new long[] {5_000, 5_040}));
        assertArrayEquals(new long[] {0, 0, 10, 30, 40}, stats.sortedJitter());
        assertEquals(5, stats.count());
        assertEquals(100, stats.lateness(0));
        assertEquals(5_040, stats.lateness(100));
    }

    @Test
    void percentilesAreNearestRankOverThePooledRuns() {
        long[] first = new long[50];
        long[] second = new long[50];
        for (int i = 0; i < 50; i++) {
            first[i] = i + 1;        // 1..50, minimum 1
            second[i] = 50 - i + 50; // 100..51, minimum 51
        }
        LatencyStats stats = LatencyStats.of(List.of(first, second));
        assertEquals(50, stats.lateness(50));
        assertEquals(90, stats.lateness(90));
        assertEquals(99, stats.lateness(99));
        assertEquals(100, stats.lateness(100));
        // Jitter is 0..49 twice.
        assertEquals(24, stats.jitter(50));
        assertEquals(49, stats.jitter(99));
        assertEquals(49, stats.jitter(100));
    }

    @Test
    void negativeLatenessStillGivesNonNegativeJitter() {
        LatencyStats stats = LatencyStats.of(List.<long[]>of(new long[] {-300, -100, 200}));
        assertArrayEquals(new long[] {0, 200, 500}, stats.sortedJitter());
        assertEquals(-300, stats.lateness(0));
    }

    @Test
    void rejectsNoRunsOrAnEmptyRun() {
        assertThrows(IllegalArgumentException.class, () -> LatencyStats.of(List.of()));
        assertThrows(IllegalArgumentException.class, () -> LatencyStats.of(List.of(new long[] {1}, new long[0])));
    }
}
