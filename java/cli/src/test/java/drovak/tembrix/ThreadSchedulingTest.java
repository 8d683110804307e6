package drovak.tembrix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import org.junit.jupiter.api.Test;

class ThreadSchedulingTest {

    @Test
    void theStatLineIsReadFromTheLastParenthesisOnAndBadLinesAreRefused() {
        // A thread may name itself anything, parentheses and spaces included.
        String stat = "9449 (a) 1 2 (b) R 9403 9403 4430 0 -1 4194624 27 0 0 0 0 0 0 0 -2 0 21 0 59285 9199071232 "
                + "24476 18446744073709551615 9 9 1 0 0 0 4 0 16800975 0 0 0 -1 1 7 1 0 0 0 9 9 9 1 1 1 1 0\n";
        assertEquals(new ThreadScheduling(ThreadScheduling.SCHED_FIFO, 7), ThreadScheduling.parseStat(stat));
        assertEquals("real-time (SCHED_FIFO, priority 7)", ThreadScheduling.parseStat(stat).toString());
        assertThrows(IllegalArgumentException.class, () -> ThreadScheduling.parseStat("9449 (java) R 1 2 3"));
        assertThrows(IllegalArgumentException.class, () -> ThreadScheduling.parseStat("no name here"));
    }

    @Test
    void anOrdinaryThreadReadsAsNormalByItselfAndByItsId() {
        ThreadScheduling normal = new ThreadScheduling(ThreadScheduling.SCHED_OTHER, 0);
        assertEquals(normal, ThreadScheduling.ofCurrentThread());
        assertEquals(normal, ThreadScheduling.ofThread(ThreadScheduling.currentThreadId()));
        assertEquals("normal (SCHED_OTHER)", normal.toString());
    }
}
