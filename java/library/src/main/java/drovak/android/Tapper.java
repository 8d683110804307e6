package drovak.android;

import java.util.Objects;

/**
 * Taps out a rhythm: a native thread calls {@link #tap()} at each time of a beat list, measured against a
 * monotonic nanosecond clock from the moment that thread starts.
 *
 * <pre>{@code
 * Tapper tapper = new Tapper(() -> System.out.println("tap"));
 * tapper.setBeatList(new double[] {0.0, 0.5, 1.0, 1.5}); // element 0 is never tapped
 * tapper.startTapper();                                  // taps at 0.5 s, 1.0 s and 1.5 s after the start
 * ...
 * tapper.stopTapper();
 * }</pre>
 *
 * <p>A cycle is {@code setBeatList}, {@code startTapper}, {@code stopTapper}, and it may be repeated. Calls out of
 * that order are rejected with an {@link IllegalStateException} or do nothing; they never corrupt the state. The
 * methods may be called from any thread except the tapper thread itself (that is, not from inside
 * {@code tap()}, where they throw {@link IllegalStateException}).
 *
 * <p>Things to know:
 * <ul>
 *   <li>The native tapper is one per process, shared by every {@code Tapper} object: one rhythm plays at a time,
 *       and the beat list, the thread and the stop are common to all of them. {@code b.stopTapper()} stops the
 *       rhythm that {@code a.startTapper()} started, and {@code b.startTapper()} plays the list that
 *       {@code a.setBeatList()} set. Strictly, it is one per loaded copy of the native library: two class loaders
 *       that each load this jar (two web applications, say) get two independent tappers.
 *   <li>{@code tap()} must not wait for another thread that calls {@code setBeatList}, {@code startTapper} or
 *       {@code stopTapper}: those calls may wait for {@code tap()} to return, and the two would wait for each other
 *       for good. Hand such work to another thread and return without waiting for it.
 *   <li>The beat times count from the tapper thread's own start, read inside that thread just before
 *       {@link #startTapper()} returns; {@link #startTimeNanos()} tells it. Lining the taps up with another clock:
 *       <pre>{@code
 * tapper.startTapper();
 * long start = tapper.startTimeNanos();          // System.nanoTime() at the tapper's start
 * // beat i is due at start + (long) (beats[i] * 1e9) ns of System.nanoTime(), truncated to the microsecond;
 * // an audio clock read together with System.nanoTime() maps it onto audio frames:
 * long framesAtStart = framesNow - (nanoNow - start) * sampleRate / 1_000_000_000L;
 * }</pre>
 *   <li>The library writes "Set beat list native" and "Start native tapping " from native code straight to the
 *       process's standard output, so they do not follow {@link System#setOut}.
 * </ul>
 *
 * <p>The native library is loaded when this class is initialised; see {@link #LIBRARY_PATH_PROPERTY}.
 */
public class Tapper implements AutoCloseable {

    /**
     * System property naming the native library file to load. When it is set, that file is loaded and nothing
     * else; if it cannot be, initialising this class fails with an {@link UnsatisfiedLinkError} naming the file and
     * the reason. Without it, the class loads the copy bundled inside the jar for this platform, and tries
     * {@code System.loadLibrary("tembrix")} only where the jar has none: to use a system copy instead of the jar's,
     * name it with this property.
     *
     * <p>The jar's copy is written into a new owner-only file, loaded, and deleted. The file goes into the folder
     * named by the system property {@code tembrix.tmpdir}, and into no other (if it cannot be used, initialising
     * this class fails with an {@link UnsatisfiedLinkError} naming the folder and the reason). Without that
     * property it goes into {@code java.io.tmpdir}, or, if that cannot be written or its files cannot be loaded
     * (a file system mounted noexec), into a per-user cache folder, {@code $XDG_CACHE_HOME/tembrix} or
     * {@code ~/.cache/tembrix} on Linux and {@code ~/Library/Caches/tembrix} on macOS, created owner-only. If
     * every attempt fails, the {@link UnsatisfiedLinkError} names each folder with its reason and says how to
     * extract the library by hand.
     *
     * <p>On JDK 24 and later, a JVM run with {@code --illegal-native-access=deny} loads the library only with
     * {@code --enable-native-access=ALL-UNNAMED}, or the tembrix module's name when the jar is on the module path;
     * without it, initialising this class fails with an {@link UnsatisfiedLinkError} that says so.
     */
    public static final String LIBRARY_PATH_PROPERTY = "tembrix.library.path";

    static {
        NativeLibrary.load();
    }

    private static final long NOT_STARTED = Long.MIN_VALUE;

    private final Runnable onTap;

    /** Written by the native library when a rhythm starts on this object: its start, in System.nanoTime() time. */
    private volatile long nativeStartTimeNanos = NOT_STARTED;

    /** Written by the native library with the start time: whether the tapper thread got real-time scheduling. */
    private volatile boolean nativeRealTime;

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
     * may override it instead.
     *
     * <p>The tapper thread is a native thread attached to the JVM, named by the JVM (for example "Thread-3") and
     * in the main thread group; that is how it shows in a thread dump. Its context class loader is that of the
     * thread that called {@link #startTapper()}, as a {@code new Thread()} would inherit it. It runs at real-time
     * priority where the process may have it (see {@link #isRealTime()}), so a {@code tap()} should return
     * quickly: a slow one delays the beats after it, which are then tapped as soon as it returns.
     *
     * <p>An exception thrown here goes to the thread's uncaught-exception handler (the default handler, or the
     * thread group's, which prints it), as for any Java thread, and tapping goes on with the next beat.
     */
    public void tap() {
        if (onTap != null) {
            onTap.run();
        }
    }

    /**
     * Copies the beat list that the next {@link #startTapper()} will tap. Each element from index 1 on is a time
     * in seconds from the start of tapping at which one {@code tap()} is due. <b>Element 0 is never tapped</b>: a
     * list of n times gives n - 1 taps, so put a placeholder first.
     *
     * <p>Beats are tapped in list order, each when it is due. The list need not be sorted: a beat that is already
     * due when its turn comes is tapped at once. A beat that is never due (a time beyond the clock's range, such
     * as {@code 1e300} or infinity) holds back every beat after it until the tapper is stopped. Times are
     * truncated to the microsecond; NaN counts as 0. The array is copied, never kept or written.
     *
     * <p>The list is shared by every {@code Tapper} object (see the class description) and is freed by
     * {@link #stopTapper()}. After a rhythm has ended by itself, a new list may be set without a stop; called while
     * the last beat's {@code tap()} runs, this waits for that {@code tap()} to return.
     *
     * <p>Prints "Set beat list native" on the process's standard output as it is called.
     *
     * @param beats the beat times in seconds
     * @throws NullPointerException if {@code beats} is null
     * @throws IllegalStateException if the tapper is still tapping; call {@link #stopTapper()} first
     * @throws OutOfMemoryError if the native copy cannot be allocated; the list is then empty
     */
    public native void setBeatList(double[] beats);

    /**
     * Starts the tapper thread on the current beat list and returns once the thread has started and joined the
     * JVM. The beat times count from the thread's start, which it reads first thing, before this method returns;
     * {@link #startTimeNanos()} and {@link #isRealTime()} then tell what it got. The thread is not a daemon, so the
     * JVM waits for the rhythm to end before it exits by itself. If a previous rhythm has already ended by itself,
     * it is cleaned up first and the current list is tapped again; called while that rhythm's last {@code tap()}
     * runs, this waits for it to return.
     *
     * <p>The list is the one last set by any {@code Tapper}. After {@link #stopTapper()} there is none: call
     * {@link #setBeatList} again first, or this start taps nothing.
     *
     * <p>Prints "Start native tapping " on the process's standard output as it is called.
     *
     * @throws IllegalStateException if the tapper is still tapping (call {@link #stopTapper()} first), or if the
     *     tapper thread cannot attach to the JVM (a thread stack limit, {@code ulimit -s}, too small for the JVM;
     *     the JVM shutting down); nothing has started then
     * @throws OutOfMemoryError if the tapper thread cannot be created
     * @throws NoSuchMethodError if this object's class has no method {@code void tap()}
     */
    public native void startTapper();

    /**
     * Stops the tapper thread, waits for it to end and releases the beat list. A beat not yet due is not tapped.
     * If the thread is inside {@code tap()}, that call completes first, however long it takes, and no further tap
     * follows. Calling this when nothing is tapping, or twice, only clears the beat list.
     *
     * <p>It stops whatever rhythm plays, whichever {@code Tapper} started it. It frees the beat list: set a new
     * one before the next {@link #startTapper()}.
     *
     * <p>Once the JVM has begun to shut down (a shutdown hook that stops the tapper, say), the wait is bounded, so
     * that the tapper never holds up the JVM's exit: this method waits for a {@code tap()} in progress at most
     * about a second, or not at all if that {@code tap()} has itself called {@link System#exit}, and then returns
     * and leaves the thread to the ending process.
     *
     * <p>It cannot be called from {@code tap()}, since it waits for {@code tap()} to return. To stop from there,
     * hand the stop to another thread ({@code executor.execute(tapper::stopTapper)}) and return from {@code tap()}
     * without waiting for it: a {@code tap()} that waits for that stop waits for good.
     *
     * @throws IllegalStateException if called from {@code tap()} on the tapper thread
     */
    public native void stopTapper();

    /**
     * When the current or last rhythm started on this object: the tapper thread's start, from which the beat
     * times count, in the time base of {@link System#nanoTime()}. It is known as soon as {@link #startTapper()}
     * returns, and stays until the next start on this object.
     *
     * <p>On Linux the library and {@code System.nanoTime()} read the same clock, and the value is exact. On macOS
     * the library's clock counts from its own first reading; the tapper thread carries its start over with one
     * reading of {@code System.nanoTime()} taken between two of its own, so the value is right to within the time
     * those readings take (about a microsecond).
     *
     * @return the start in nanoseconds of {@code System.nanoTime()}
     * @throws IllegalStateException if no rhythm has been started on this object
     */
    public long startTimeNanos() {
        long start = nativeStartTimeNanos;
        if (start == NOT_STARTED) {
            throw new IllegalStateException("no rhythm has been started on this Tapper; call startTapper() first");
        }
        return start;
    }

    /**
     * Whether the tapper thread of the current or last rhythm started on this object got real-time scheduling. It
     * is known as soon as {@link #startTapper()} returns, and stays until the next start on this object.
     *
     * <p>On Linux it is true when the thread runs {@code SCHED_FIFO} at the lowest real-time priority, with a
     * watchdog thread one priority above it. The thread runs real-time while it sleeps towards a beat and wakes;
     * once it has spent 3 ms in the JVM without sleeping (in one beat's {@code tap()}, or in a run of overdue
     * beats, with the JVM's own locks and allocation), the watchdog puts it back to normal scheduling until it
     * sleeps again, so that it cannot starve the JVM's other threads. It needs {@code CAP_SYS_NICE} or an rtprio limit of 2 or more, and no finite
     * {@code RLIMIT_RTTIME}. On macOS it is true when the Mach time-constraint policy was accepted.
     *
     * @return true if the tapper thread runs real-time between beats
     * @throws IllegalStateException if no rhythm has been started on this object
     */
    public boolean isRealTime() {
        startTimeNanos();
        return nativeRealTime;
    }

    /** Same as {@link #stopTapper()}, so that a tapper can be used in try-with-resources. */
    @Override
    public void close() {
        stopTapper();
    }
}
