package drovak.tembrix;

import drovak.android.Metronome;

/**
 * The tempo of each beat of a metronome run, and its bars: {@code --bpm}, and with a ramp, equal steps at each
 * bar line from there to {@code --ramp-to}, which is reached at the first beat after {@code --ramp-bars} bars and
 * then held. So a ramp from 100 to 140 BPM over 4 bars plays its bars at 100, 110, 120, 130, then 140 BPM.
 *
 * <p>Beats are numbered from 0, as the metronome's listener has them; bars too. The tempo of a beat is the tempo
 * of the interval before it: beat i is due 60 / bpm(i) seconds after beat i - 1.
 */
final class TempoPlan {

    /** The meter when none is given: four beats a bar. */
    static final int DEFAULT_METER = 4;

    private static final double SECONDS_PER_MINUTE = 60;

    private final double from;
    private final double to;
    private final int rampBars;
    private final int meter;

    /**
     * A plan, checked; each message names the option in the user's terms.
     *
     * @param bpm the tempo of the first bar
     * @param rampTo the tempo the ramp ends at, or null for a steady tempo
     * @param rampBars how many bars the ramp takes, null exactly when {@code rampTo} is
     * @param meter beats per bar
     * @throws IllegalArgumentException if a tempo is out of the metronome's range, or a count is below 1
     */
    TempoPlan(double bpm, Double rampTo, Integer rampBars, int meter) {
        this.from = checkTempo("--bpm", bpm);
        this.to = rampTo != null ? checkTempo("--ramp-to", rampTo) : bpm;
        if (rampBars != null && rampBars < 1) {
            throw new IllegalArgumentException("--ramp-bars must be at least 1, got " + rampBars);
        }
        this.rampBars = rampBars != null ? rampBars : 0;
        if (meter < 1) {
            throw new IllegalArgumentException("--meter must be at least 1 beat per bar, got " + meter);
        }
        this.meter = meter;
    }

    private static double checkTempo(String option, double bpm) {
        if (!(bpm >= Metronome.MIN_BPM && bpm <= Metronome.MAX_BPM)) {
            throw new IllegalArgumentException(option + " must be from " + (long) Metronome.MIN_BPM + " to "
                    + (long) Metronome.MAX_BPM + " beats per minute for the metronome, got " + bpm);
        }
        return bpm;
    }

    /** @return the tempo in beats per minute of the given beat, from 0: that of its bar */
    double bpm(long beat) {
        long bar = bar(beat);
        return bar >= rampBars ? to : from + (to - from) * bar / rampBars;
    }

    /** @return the bar of the given beat, from 0 */
    long bar(long beat) {
        return beat / meter;
    }

    /** @return whether the given beat is the first of its bar */
    boolean startsBar(long beat) {
        return beat % meter == 0;
    }

    /** @return the beat's place in its bar, from 1 */
    int beatInBar(long beat) {
        return (int) (beat % meter) + 1;
    }

    /**
     * When the given beat is due, in seconds after beat 0; the sum stops once it passes {@code atMost}, so that a
     * long count costs no more than the beats up to there.
     *
     * @return the time, or a value above {@code atMost} if the beat is due later than that
     */
    double dueSeconds(long beat, double atMost) {
        double seconds = 0;
        for (long i = 1; i <= beat && seconds <= atMost; i++) {
            seconds += SECONDS_PER_MINUTE / bpm(i);
        }
        return seconds;
    }

    boolean ramps() {
        return rampBars > 0;
    }

    double from() {
        return from;
    }

    double to() {
        return to;
    }

    int rampBars() {
        return rampBars;
    }

    int meter() {
        return meter;
    }
}
