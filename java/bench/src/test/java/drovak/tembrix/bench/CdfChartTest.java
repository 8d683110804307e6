package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertEquals;

import org.junit.jupiter.api.Test;

/**
 * The chart's pure parts. Drawing it is checked by the bench_smoke CTest instead: the JDK's font code trips
 * {@code -Xcheck:jni}, under which these tests run.
 */
class CdfChartTest {

    @Test
    void axisLabelsUseTheLargestFittingUnit() {
        assertEquals("1 \u00b5s", CdfChart.microsLabel(1));
        assertEquals("100 \u00b5s", CdfChart.microsLabel(100));
        assertEquals("1 ms", CdfChart.microsLabel(1_000));
        assertEquals("10 ms", CdfChart.microsLabel(10_000));
        assertEquals("1 s", CdfChart.microsLabel(1_000_000));
    }
}
