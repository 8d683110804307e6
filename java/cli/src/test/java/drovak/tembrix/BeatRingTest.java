package drovak.tembrix;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

class BeatRingTest {

    @Test
    void aFullRingDropsTheNewBeatAndKeepsTheOldOnesUntilTaken() {
        BeatRing ring = new BeatRing(4);
        for (long beat = 0; beat < 4; beat++) {
            assertTrue(ring.put(beat, beat * 10, beat * 10 + 1));
        }
        assertFalse(ring.put(4, 40, 41), "full");
        long[] taken = new long[3];
        assertTrue(ring.take(taken));
        assertArrayEquals(new long[] {0, 0, 1}, taken);
        assertTrue(ring.put(5, 50, 51), "room again once one is taken");
        for (long beat : new long[] {1, 2, 3, 5}) {
            assertTrue(ring.take(taken));
            assertArrayEquals(new long[] {beat, beat * 10, beat * 10 + 1}, taken);
        }
        assertFalse(ring.take(taken), "empty");
        assertThrows(IllegalArgumentException.class, () -> new BeatRing(6));
    }
}
