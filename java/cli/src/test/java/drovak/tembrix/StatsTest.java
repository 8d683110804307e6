package drovak.tembrix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.PrintWriter;
import java.io.StringWriter;
import org.junit.jupiter.api.Test;

class StatsTest {

    /** Ten values, shuffled: 1 to 10 thousand. */
    private static final long[] TEN = {5_000, 1_000, 4_000, 2_000, 3_000, 10_000, 6_000, 7_000, 8_000, 9_000};

    @Test
    void percentilesTakeTheNearestRank() {
        Stats stats = Stats.of(TEN);
        assertEquals(10, stats.count());
        assertEquals(1_000, stats.percentile(0), "p0 is the minimum");
        assertEquals(1_000, stats.percentile(10));
        assertEquals(5_000, stats.percentile(50), "rank ceil(0.5 * 10) = 5");
        assertEquals(6_000, stats.percentile(51), "rank ceil(5.1) = 6");
        assertEquals(9_000, stats.percentile(90));
        assertEquals(10_000, stats.percentile(99), "rank ceil(9.9) = 10");
        assertEquals(10_000, stats.percentile(100));
        assertEquals(1_000, stats.min());
        assertEquals(10_000, stats.max());
        assertEquals(5_500.0, stats.mean());
        assertEquals(7, Stats.of(new long[] {7}).percentile(50), "one value is every percentile");
    }

    @Test
    void theCallersArrayIsLeftAsItIsAndAPrefixCanBeTaken() {
        long[] values = TEN.clone();
        Stats stats = Stats.of(values, 3);
        assertArrayEquals(TEN, values, "not sorted in place");
        assertEquals(3, stats.count());
        assertEquals(5_000, stats.max(), "only the first three values count");
        assertThrows(IndexOutOfBoundsException.class, () -> Stats.of(values, 11));
    }

    @Test
    void badRequestsAreRejected() {
        assertThrows(IllegalArgumentException.class, () -> Stats.of(TEN).percentile(101));
        assertThrows(IllegalArgumentException.class, () -> Stats.of(TEN).percentile(-1));
        assertThrows(IllegalArgumentException.class, () -> Stats.of(TEN).percentile(Double.NaN));
        Stats empty = Stats.of(new long[0]);
        assertTrue(empty.isEmpty());
        assertThrows(IllegalStateException.class, () -> empty.percentile(50));
        assertThrows(IllegalStateException.class, empty::max);
        assertThrows(NullPointerException.class, () -> Stats.of(null));
    }

    @Test
    void jitterIsLatenessAboveTheRunsMinimumInTheSameOrder() {
        assertArrayEquals(new long[] {4_000, 0, 3_000, 1_000, 2_000, 9_000, 5_000, 6_000, 7_000, 8_000},
                Stats.jitter(TEN));
        assertArrayEquals(new long[] {0, 7, 2}, Stats.jitter(new long[] {-5, 2, -3}), "negative lateness too");
        assertArrayEquals(new long[0], Stats.jitter(new long[0]));
    }

    @Test
    void driftComparesTheMeansOfTheLastAndFirstTenthInBeatOrder() {
        long[] rising = new long[20];
        for (int i = 0; i < rising.length; i++) {
            rising[i] = 100 * i;
        }
        // A tenth of 20 is 2: mean(1800, 1900) - mean(0, 100).
        assertEquals(1_800.0, Stats.drift(rising));
        assertEquals(-9_000.0, Stats.drift(new long[] {10_000, 0, 0, 0, 1_000}), "short run: last minus first");
        assertEquals(4_000.0, Stats.drift(TEN), "order matters, not the sorted values: 9000 - 5000");
        assertEquals(0.0, Stats.drift(new long[0]));
    }

    @Test
    void theSummaryReportsTheseStatisticsTheStartUpAndTheScheduling() {
        // Four taps of five beats; lateness 100, 300, 200, 1000 us.
        long[] due = {0, 500_000_000, 1_000_000_000, 1_500_000_000};
        long[] actual = {100_000, 500_300_000, 1_000_200_000, 1_501_000_000};
        assertEquals(String.join("\n",
                "taps      4 of 5 (stopped early)",
                "start-up  95.4 us (from startTapper() to the tapper thread's start, from which the times count)",
                "lateness  p50 200.0 us  p90 1000.0 us  p99 1000.0 us  max 1000.0 us",
                "jitter    p50 100.0 us  p99 900.0 us",
                "drift     +900.0 us (last tenth of the beats against the first)",
                "scheduling normal: real-time was refused",
                "          " + Report.HOW_TO_ALLOW_REAL_TIME, ""),
                summary(new TapSession.Result(5, due, actual, 95_400, false, false)));
        // Stopped before the first tap: what the start told is still known.
        assertEquals(String.join("\n",
                "taps      0 of 5 (stopped early)",
                "start-up  120.0 us (from startTapper() to the tapper thread's start, from which the times count)",
                "scheduling real-time (SCHED_FIFO under a watchdog: a tap() over 3 ms runs at normal priority)", ""),
                summary(new TapSession.Result(5, new long[0], new long[0], 120_000, true, false)));
        assertEquals("taps      0 of 5 (stopped early)\n", summary(TapSession.Result.notStarted(5, false)));
    }

    private static String summary(TapSession.Result result) {
        StringWriter text = new StringWriter();
        Report.printSummary(new PrintWriter(text, true), result);
        return text.toString().replace(System.lineSeparator(), "\n");
    }
}
