package drovak.tembrix;

import java.io.BufferedReader;
import java.io.IOException;
import java.util.Arrays;

/**
 * Builds the beat times of a rhythm from what the user gave: a steady pulse, a step pattern, a list of times or
 * the lines of a file. Times are in seconds from the start of tapping, in the order they are to be tapped.
 *
 * <p>Each method checks its input and throws an {@link IllegalArgumentException} whose message, one line, says
 * what is wrong in the user's terms.
 */
final class Rhythm {

    /** The most beats one run may hold: the command keeps a few arrays of this length. */
    static final int MAX_BEATS = 1_000_000;

    /** The latest beat time accepted, one day: anything later is most likely a unit mistake. */
    static final double MAX_SECONDS = 86_400;

    private static final double SECONDS_PER_MINUTE = 60;
    /** What some editors put at the start of a UTF-8 file. */
    private static final String BYTE_ORDER_MARK = "\uFEFF";

    private Rhythm() {}

    /**
     * A steady pulse: {@code beats} beats at {@code bpm} beats per minute, the first at 0 s.
     */
    static double[] steady(double bpm, int beats) {
        checkBpm(bpm);
        if (beats < 1) {
            throw new IllegalArgumentException("--beats must be at least 1, got " + beats);
        }
        checkCount(beats);
        double[] times = new double[beats];
        for (int i = 0; i < beats; i++) {
            times[i] = i * SECONDS_PER_MINUTE / bpm;
        }
        return checkLength(times);
    }

    /**
     * A step pattern: each character is one step, {@code subdivision} steps to a beat at {@code bpm}; 'x' (or
     * 'X') is a tap and '.' a rest, while '|' and spaces only mark bars for the reader. Step 0 is at 0 s.
     */
    static double[] pattern(String steps, double bpm, int subdivision) {
        checkBpm(bpm);
        if (subdivision < 1) {
            throw new IllegalArgumentException("--subdivision must be at least 1 step per beat, got " + subdivision);
        }
        double stepsPerMinute = bpm * subdivision;
        double[] times = new double[Math.min(steps.length(), MAX_BEATS + 1)];
        int count = 0;
        int step = 0;
        for (int i = 0; i < steps.length(); i++) {
            char c = steps.charAt(i);
            if (c == 'x' || c == 'X') {
                checkCount(count + 1);
                times[count++] = step * SECONDS_PER_MINUTE / stepsPerMinute;
                step++;
            } else if (c == '.') {
                step++;
            } else if (c != '|' && c != ' ') {
                throw new IllegalArgumentException("--pattern may hold only 'x' (tap), '.' (rest), '|' and spaces;"
                        + " found '" + c + "' at position " + (i + 1));
            }
        }
        if (count == 0) {
            throw new IllegalArgumentException("the rhythm is empty: --pattern has no 'x' to tap");
        }
        return checkLength(Arrays.copyOf(times, count));
    }

    /**
     * A list of times given on the command line, checked like those of a file.
     *
     * @param source what to name in a message, such as "--times"
     */
    static double[] times(double[] times, String source) {
        if (times.length == 0) {
            throw new IllegalArgumentException("the rhythm is empty: " + source + " holds no beat times");
        }
        checkCount(times.length);
        for (int i = 0; i < times.length; i++) {
            checkTime(times[i], i > 0 ? times[i - 1] : 0, source + ", beat " + (i + 1));
        }
        return times.clone();
    }

    /**
     * Reads one beat time in seconds per line; '#' starts a comment, and blank lines are skipped.
     *
     * @param name the file's name, for messages
     * @throws IOException if the reader fails
     */
    static double[] read(BufferedReader reader, String name) throws IOException {
        double[] times = new double[64];
        int count = 0;
        int lineNumber = 0;
        for (String line = reader.readLine(); line != null; line = reader.readLine()) {
            lineNumber++;
            if (lineNumber == 1 && line.startsWith(BYTE_ORDER_MARK)) {
                line = line.substring(1);
            }
            int hash = line.indexOf('#');
            String text = (hash >= 0 ? line.substring(0, hash) : line).strip();
            if (text.isEmpty()) {
                continue;
            }
            String where = name + " line " + lineNumber;
            double time;
            try {
                time = Double.parseDouble(text);
            } catch (NumberFormatException e) {
                throw new IllegalArgumentException(where + ": '" + text + "' is not a time in seconds");
            }
            checkTime(time, count > 0 ? times[count - 1] : 0, where);
            checkCount(count + 1);
            if (count == times.length) {
                times = Arrays.copyOf(times, Math.min(times.length * 2, MAX_BEATS));
            }
            times[count++] = time;
        }
        if (count == 0) {
            throw new IllegalArgumentException("the rhythm is empty: " + name + " holds no beat times");
        }
        return Arrays.copyOf(times, count);
    }

    private static void checkBpm(double bpm) {
        if (!(bpm > 0) || Double.isInfinite(bpm)) {
            throw new IllegalArgumentException("--bpm must be a finite number above 0, got " + bpm);
        }
    }

    private static void checkCount(int count) {
        if (count > MAX_BEATS) {
            throw new IllegalArgumentException("the rhythm has more than " + MAX_BEATS + " beats; split it up");
        }
    }

    private static void checkTime(double time, double previous, String where) {
        if (!(time >= 0) || time > MAX_SECONDS) {
            throw new IllegalArgumentException(where + ": beat times must be from 0 to " + (long) MAX_SECONDS
                    + " seconds, got " + time);
        }
        if (time < previous) {
            throw new IllegalArgumentException(where + ": beat times must not go back, got " + time + " after "
                    + previous);
        }
    }

    private static double[] checkLength(double[] times) {
        double last = times[times.length - 1];
        if (last > MAX_SECONDS) {
            throw new IllegalArgumentException("the rhythm would last " + Math.round(last) + " s, more than "
                    + (long) MAX_SECONDS + " s; raise --bpm or shorten it");
        }
        return times;
    }
}
