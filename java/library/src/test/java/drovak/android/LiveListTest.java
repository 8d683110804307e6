package drovak.android;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.regex.Matcher;
import java.util.regex.Pattern;
import org.junit.jupiter.api.Test;

/** Rhythms that grow while they play, and the metronome built on them, each in a child JVM under -Xcheck:jni. */
class LiveListTest {

    private static ProcessTest.Result child(String... args) throws Exception {
        String[] all = new String[args.length + 1];
        all[0] = LiveChild.class.getName();
        System.arraycopy(args, 0, all, 1, args.length);
        ProcessTest.Result r = ProcessTest.runJvm(System.getProperty("tembrix.test.classpath"), all);
        assertEquals(0, r.exitCode, r.output);
        return r;
    }

    @Test
    void beatsAppendedFromTapAndFromAnotherThreadAreAllTappedInTurn() throws Exception {
        ProcessTest.Result r = child("append");
        assertTrue(r.output.contains("taps 8, early 0, appended from outside while playing true, all true"), r.output);
    }

    @Test
    void anAppendAsTheLastBeatIsTappedIsTappedByThatRhythmOrTheNext() throws Exception {
        String rounds = ProcessTest.emulated() || ProcessTest.WINE ? "50" : "200";
        ProcessTest.Result r = child("end-race", rounds);
        Matcher m = Pattern.compile("rounds " + rounds + ", extended (\\d+), wrong (\\d+)").matcher(r.output);
        assertTrue(m.find(), r.output);
        assertEquals("0", m.group(2), r.output);
    }

    @Test
    void anEndlessRhythmFedFromTapTakesNoMoreMemoryAsItGoes() throws Exception {
        int beats = ProcessTest.emulated() || ProcessTest.WINE ? 20_000 : 1_000_000;
        ProcessTest.Result r = child("endless", Integer.toString(beats));
        Matcher m = Pattern.compile("resident set grew (-?\\d+) kB").matcher(r.output);
        assertTrue(m.find(), r.output);
        if (!ProcessTest.emulated() && !ProcessTest.WINE) { // qemu-user's and Wine's resident sets are their own
            assertTrue(Long.parseLong(m.group(1)) < 1024, r.output);
        }
    }

    @Test
    void aMetronomesTempoChangesTakeEffectOnTheBeatWithNoGap() throws Exception {
        ProcessTest.Result r = child("metronome");
        Matcher m = Pattern.compile("all true, early 0, intervals \\(us\\) (.*)").matcher(r.output);
        assertTrue(m.find(), r.output);
        assertTrue(m.group(1).matches("(50000 ){4}(25000 )+(50000 ?)+"), "the interval before beat 5 is the new "
                + "period, and the change back lands between two beats: " + m.group(1));
    }

    @Test
    void aMetronomeRefusesBadTemposAndSharesTheOneTapper() throws Exception {
        for (double bad : new double[] {0, -60, Double.NaN, Double.POSITIVE_INFINITY, 1e9}) {
            IllegalArgumentException e = assertThrows(IllegalArgumentException.class,
                    () -> new Metronome(bad, (i, due) -> { }));
            assertTrue(e.getMessage().contains("from 1 to 6000 beats per minute, got " + bad), e.getMessage());
        }
        Tapper music = new Tapper();
        music.setBeatList(new double[] {0, 60});
        music.startTapper();
        try (Metronome metronome = new Metronome(120, (i, due) -> { })) {
            IllegalStateException e = assertThrows(IllegalStateException.class, metronome::start);
            assertTrue(e.getMessage().contains("Metronome.start() called while another Tapper's rhythm is playing"),
                    e.getMessage());
            music.stopTapper();
            metronome.start();
            e = assertThrows(IllegalStateException.class, music::startTapper);
            assertTrue(e.getMessage().contains("a Metronome is playing"), e.getMessage());
        }
        music.close();
    }
}
