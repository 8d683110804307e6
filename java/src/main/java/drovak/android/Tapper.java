package drovak.android;

import java.util.Objects;

/**
 * Taps out a rhythm: a native thread calls {@link #tap()} at each time of a beat list, measured against a
 * monotonic nanosecond clock from the moment tapping starts.
 *
 * <pre>{@code
 * Tapper tapper = new Tapper(() -> System.out.println("tap"));
 * tapper.setBeatList(new double[] {0.0, 0.5, 1.0, 1.5}); // element 0 is never tapped
 * tapper.startTapper();                                  // taps at 0.5 s, 1.0 s and 1.5 s
 * ...
 * tapper.stopTapper();
 * }</pre>
 *
 * <p>The native tapper is one per process: one rhythm plays at a time, whichever {@code Tapper} started it.
 * A cycle is {@code setBeatList}, {@code startTapper}, {@code stopTapper}, and it may be repeated. Calls out of
 * that order are rejected with an {@link IllegalStateException} or do nothing; they never corrupt the state. The
 * methods may be called from any thread except the tapper thread itself (that is, not from inside
 * {@code tap()}).
 *
 * <p>The native library is loaded when this class is initialised; see {@link #LIBRARY_PATH_PROPERTY}.
 */
public class Tapper implements AutoCloseable {

    /**
     * System property naming the native library file to load before anything else is tried. Without it, the
     * class tries {@code System.loadLibrary("tembrix")} and then the copy bundled inside the jar.
     */
    public static final String LIBRARY_PATH_PROPERTY = "tembrix.library.path";

    static {
        NativeLibrary.load();
    }

    private final Runnable onTap;

    /** Creates a tapper whose {@link #tap()} does nothing until a subclass overrides it. */
    public Tapper() {
        this.onTap = null;
    }

    /**
     * Creates a tapper whose {@link #tap()} runs the given callback.
     *
     * @param onTap run on the tapper thread at each beat; it should return quickly, since a slow callback
     *     delays the beats after it (they are then tapped as soon as it returns)
     */
    public Tapper(Runnable onTap) {
        this.onTap = Objects.requireNonNull(onTap, "onTap");
    }

    /**
     * Called on the native tapper thread at each beat time. Runs the constructor's callback, if any; subclasses
     * may override it instead. An exception thrown here is reported on standard error like an uncaught one, and
     * tapping goes on with the next beat.
     */
    public void tap() {
        if (onTap != null) {
            onTap.run();
        }
    }

    /**
     * Copies the beat list that the next {@link #startTapper()} will tap. Each element from index 1 on is a time
     * in seconds from the start of tapping at which one {@code tap()} is due; element 0 is never tapped. The list
     * need not be sorted: a beat that is already due when its turn comes is tapped at once. Times are truncated
     * to the microsecond; NaN counts as 0, and a time beyond the clock's range is never due. The array is copied,
     * never kept or written.
     *
     * <p>Prints "Set beat list native" on standard output.
     *
     * @param beats the beat times in seconds
     * @throws NullPointerException if {@code beats} is null
     * @throws IllegalStateException if the tapper is still tapping; call {@link #stopTapper()} first
     * @throws OutOfMemoryError if the native copy cannot be allocated; the list is then empty
     */
    public native void setBeatList(double[] beats);

    /**
     * Starts the tapper thread on the current beat list and returns once the thread has started and joined the
     * JVM. The beat times count from that moment. The thread is not a daemon, so the JVM waits for the rhythm to
     * end before it exits by itself. If a previous rhythm has already ended by itself, it is cleaned up first and
     * the current list is tapped again.
     *
     * <p>Prints "Start native tapping " on standard output.
     *
     * @throws IllegalStateException if the tapper is still tapping; call {@link #stopTapper()} first
     * @throws OutOfMemoryError if the tapper thread cannot be created
     */
    public native void startTapper();

    /**
     * Stops the tapper thread, waits for it to end and releases the beat list. A beat not yet due is not tapped.
     * If the thread is inside {@code tap()}, that call completes and no further tap follows. Calling this when
     * nothing is tapping, or twice, only clears the beat list.
     *
     * @throws IllegalStateException if called from {@code tap()} on the tapper thread
     */
    public native void stopTapper();

    /** Same as {@link #stopTapper()}, so that a tapper can be used in try-with-resources. */
    @Override
    public void close() {
        stopTapper();
    }
}
