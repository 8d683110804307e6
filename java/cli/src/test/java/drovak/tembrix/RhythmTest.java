package drovak.tembrix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.StringReader;
import org.junit.jupiter.api.Test;

class RhythmTest {

    @Test
    void aSteadyPulseStartsAtZeroAndSpacesBeatsBySixtyOverBpm() {
        assertArrayEquals(new double[] {0, 0.5, 1.0, 1.5}, Rhythm.steady(120, 4));
        assertArrayEquals(new double[] {0, 0.8}, Rhythm.steady(75, 2), 1e-12);
    }

    @Test
    void aPatternTapsItsXStepsAndSkipsBarLines() {
        // 120 BPM, 4 steps a beat: a step is 0.125 s.
        assertArrayEquals(new double[] {0, 0.375, 0.75}, Rhythm.pattern("x..x..x.", 120, 4));
        assertArrayEquals(new double[] {0, 0.375, 0.75, 1.0}, Rhythm.pattern("x..X | ..x. | x", 120, 4));
        // 3 steps a beat at 60 BPM: triplets.
        assertArrayEquals(new double[] {1.0 / 3, 1.0}, Rhythm.pattern(".x.x", 60, 3), 1e-12);
    }

    @Test
    void aFileHasOneTimePerLineWithCommentsAndBlankLines() throws IOException {
        String text = "# a comment\n0.5\n\n   1.0   # the downbeat\n1.25\r\n\t\n";
        assertArrayEquals(new double[] {0.5, 1.0, 1.25}, Rhythm.read(reader(text), "f"));
        assertArrayEquals(new double[] {0, 0}, Rhythm.read(reader("0\n0"), "f"), "equal times are allowed");
        assertArrayEquals(new double[] {0.5}, Rhythm.read(reader("\uFEFF0.5\n"), "f"), "a byte order mark");
    }

    @Test
    void badFilesNameTheLine() {
        assertMessage("f line 3: 'half' is not a time in seconds", () -> Rhythm.read(reader("1\n\nhalf\n"), "f"));
        assertMessage("f line 2: '1 2' is not a time in seconds", () -> Rhythm.read(reader("0\n1 2\n"), "f"));
        assertMessage("f line 2: beat times must not go back, got 0.5 after 1.0",
                () -> Rhythm.read(reader("1\n0.5\n"), "f"));
        assertMessage("the rhythm is empty: f holds no beat times", () -> Rhythm.read(reader("# none\n\n"), "f"));
    }

    @Test
    void timesOutsideTheRangeOrNotANumberAreRejected() {
        for (double bad : new double[] {-0.001, Double.NaN, Double.POSITIVE_INFINITY, Rhythm.MAX_SECONDS + 1}) {
            assertThrows(IllegalArgumentException.class, () -> Rhythm.times(new double[] {bad}, "--times"),
                    "time " + bad);
        }
        assertEquals(1, Rhythm.times(new double[] {Rhythm.MAX_SECONDS}, "--times").length);
    }

    @Test
    void aRhythmThatWouldLastLongerThanADayIsRejected() {
        assertMessage("the rhythm would last 144000 s, more than 86400 s; raise --bpm or shorten it",
                () -> Rhythm.steady(0.00125, 4));
        assertMessage("the rhythm has more than 1000000 beats; split it up",
                () -> Rhythm.steady(1e6, Rhythm.MAX_BEATS + 1));
    }

    private static BufferedReader reader(String text) {
        return new BufferedReader(new StringReader(text));
    }

    private interface Call {
        void run() throws Exception;
    }

    private static void assertMessage(String expected, Call call) {
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class, call::run);
        assertEquals(expected, e.getMessage());
    }
}
