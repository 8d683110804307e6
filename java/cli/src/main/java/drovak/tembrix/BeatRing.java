package drovak.tembrix;

import java.util.concurrent.atomic.AtomicLong;

/**
 * A bounded queue of measured beats from one producer, the tapper thread, to one consumer, the printer. A put
 * never waits, takes no lock and allocates nothing: when the ring is full (the consumer has fallen a whole ring
 * behind), the beat is not kept and {@link #put} says so. Each beat carries its number, so the consumer sees a
 * dropped beat as a gap.
 */
final class BeatRing {

    private final long[] beats;
    private final long[] dueNanos;
    private final long[] tapNanos;
    private final int mask;
    /** Beats put so far; only the producer writes it, after the slot, so a consumer that reads it sees the slot. */
    private final AtomicLong written = new AtomicLong();
    /** Beats taken so far; only the consumer writes it, after reading the slot, which is then free. */
    private final AtomicLong read = new AtomicLong();

    /**
     * @param capacity how many beats it holds, a power of two
     * @throws IllegalArgumentException if it is not one
     */
    BeatRing(int capacity) {
        if (capacity < 1 || Integer.bitCount(capacity) != 1) {
            throw new IllegalArgumentException("capacity must be a power of two, got " + capacity);
        }
        beats = new long[capacity];
        dueNanos = new long[capacity];
        tapNanos = new long[capacity];
        mask = capacity - 1;
    }

    /**
     * On the producer: keeps a beat, if there is room.
     *
     * @return false if the ring was full and the beat was dropped
     */
    boolean put(long beat, long due, long tap) {
        long w = written.get();
        if (w - read.get() > mask) {
            return false;
        }
        int slot = (int) (w & mask);
        beats[slot] = beat;
        dueNanos[slot] = due;
        tapNanos[slot] = tap;
        written.set(w + 1);
        return true;
    }

    /**
     * On the consumer: takes the oldest beat into {@code into}: its number, due time and tap time.
     *
     * @param into an array of at least three elements
     * @return false if the ring was empty, and {@code into} is unchanged
     */
    boolean take(long[] into) {
        long r = read.get();
        if (r == written.get()) {
            return false;
        }
        int slot = (int) (r & mask);
        into[0] = beats[slot];
        into[1] = dueNanos[slot];
        into[2] = tapNanos[slot];
        read.set(r + 1);
        return true;
    }
}
