package drovak.android;

import java.util.Objects;
import java.util.concurrent.Phaser;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;

/**
 * Taps out a rhythm: a native thread calls {@link #tap()} at each time of a beat list, measured against a
 * monotonic nanosecond clock from the moment that thread starts.
 *
 * <pre>{@code
 * Tapper tapper = new Tapper(() -> System.out.println("tap"));
 * tapper.setBeatList(new double[] {0.0, 0.5, 1.0, 1.5}); // element 0 is never tapped
 * tapper.startTapper();                                  // taps at 0.5 s, 1.0 s and 1.5 s after the start
 * tapper.appendBeats(new double[] {2.0, 2.5});           // and, while it plays, at 2.0 s and 2.5 s
 * ...
 * tapper.stopTapper();
 * }</pre>
 *
 * <p>A cycle is {@code setBeatList}, {@code startTapper}, {@code stopTapper}, and it may be repeated. Calls out of
 * that order are rejected with an {@link IllegalStateException} or do nothing; they never corrupt the state. The
 * methods may be called from any thread, virtual threads included, except the tapper thread itself (that is, not
 * from inside {@code tap()}, where they throw {@link IllegalStateException}; {@link #appendBeats} is the exception,
 * and may be called from anywhere). A wait for {@code tap()} in them is a plain Java wait: it never holds a
 * virtual thread's carrier, and an interrupt ends it.
 *
 * <p>Things to know:
 * <ul>
 *   <li>The native tapper is one per process, shared by every {@code Tapper} object and every {@link Metronome}:
 *       one rhythm plays at a time, and the beat list, the thread and the stop are common to all of them.
 *       {@code b.stopTapper()} stops the rhythm that {@code a.startTapper()} started, and {@code b.startTapper()}
 *       plays the list that {@code a.setBeatList()} set; {@link #close()} alone stops only a rhythm its own object
 *       started. Strictly, it is one per loaded copy of the native library: two class loaders that each load this
 *       jar (two web applications, say) get two independent tappers.
 *   <li>{@code tap()} must not wait for another thread that calls {@code setBeatList}, {@code startTapper} or
 *       {@code stopTapper}: those calls may wait for {@code tap()} to return, and the two would wait for each other
 *       (until the waiting call is interrupted, or {@link #stopTapper(long, TimeUnit)} times out). Hand such work
 *       to another thread and return without waiting for it.
 *   <li>The beat times count from the tapper thread's own start, read inside that thread just before
 *       {@link #startTapper()} returns; {@link #startTimeNanos()} tells it. Lining the taps up with another clock:
 *       <pre>{@code
 * tapper.startTapper();
 * long start = tapper.startTimeNanos();          // System.nanoTime() at the tapper's start
 * // beat i is due at start + (long) (beats[i] * 1e6) * 1000 ns of System.nanoTime(): whole microseconds,
 * // the product cut toward zero; an audio clock read together with System.nanoTime() maps it onto frames:
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
     * the reason. A JVM maps a file into one class loader only, so where a second class loader loads this class
     * (two plugins or web applications, say), that loader loads a private copy of the file, written out as the
     * jar's copy is. Without the property, the class loads the copy bundled inside the jar for this platform, and
     * tries {@code System.loadLibrary("tembrix")} only where the jar has none: to use a system copy instead of the
     * jar's, name it with this property. Whatever is loaded must be a tembrix library of this version: a file
     * without the tembrix natives, or of another version, makes initialising this class fail with an
     * {@link UnsatisfiedLinkError} that says so.
     *
     * <p>The jar's copy is written into a new owner-only file, loaded, and deleted. The file goes into the folder
     * named by the system property {@code tembrix.tmpdir}, and into no other (if it cannot be used, initialising
     * this class fails with an {@link UnsatisfiedLinkError} naming the folder and the reason). Without that
     * property it goes into {@code java.io.tmpdir}, or, if that cannot be written or its files cannot be loaded
     * (a file system mounted noexec), into a per-user cache folder, {@code $XDG_CACHE_HOME/tembrix} or
     * {@code ~/.cache/tembrix} on Linux and {@code ~/Library/Caches/tembrix} on macOS, created owner-only. A folder
     * where another user could replace the copy before it is loaded (one that, or a folder above it, belongs to
     * another user than root, or that group or others may write without the sticky bit) is not used. If every
     * attempt fails, the {@link UnsatisfiedLinkError} names each folder with its reason and says how to extract
     * the library by hand.
     *
     * <p>On Windows, where a loaded DLL cannot be deleted, the copy is kept: it is written once into
     * {@code %LOCALAPPDATA%\tembrix} (or else {@code java.io.tmpdir}, or the {@code tembrix.tmpdir} folder alone
     * when that is set) under a name made from its content's hash, and reused by later runs while its content
     * matches. A file there is never replaced, since another process may have it loaded; each class loader that
     * loads this class loads a file of its own.
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

    // What the natives of this class answer, as the native library defines them.
    private static final int DONE = 0;
    private static final int REFUSED_PLAYING = 1;
    private static final int WAIT_FOR_EVENT = 2;

    /** How often a wait for the tapper thread looks whether the JVM has begun to shut down. */
    private static final long SHUTDOWN_CHECK_NANOS = TimeUnit.MILLISECONDS.toNanos(20);

    /**
     * Once the JVM shuts down, how long a wait for a {@code tap()} in progress lasts before it leaves the thread to
     * the ending process: long enough for a merely slow {@code tap()}, short enough not to hold up the exit.
     */
    private static final long SHUTDOWN_WAIT_NANOS = TimeUnit.SECONDS.toNanos(1);

    /** The class whose methods run the JVM's exit: a thread with one of its frames never returns from it. */
    private static final String SHUTDOWN_CLASS = "java.lang.Shutdown";

    /**
     * Advanced by the tapper thread when a rhythm that was ending goes on after all, and when the thread leaves:
     * a call that waits for the rhythm before it to end looks again then.
     */
    private static final Phaser EVENTS = new Phaser(1);

    /** The rhythm started last in this process, and by what, for the messages of calls that it refuses. */
    private static volatile long lastSerial;
    private static volatile String lastStarter = "another Tapper's rhythm";

    private final Runnable onTap;

    /** Written by the native library when a rhythm starts on this object: its start, in System.nanoTime() time. */
    private volatile long nativeStartTimeNanos = NOT_STARTED;

    /** Written by the native library with the start time: whether the tapper thread got real-time scheduling. */
    private volatile boolean nativeRealTime;

    private volatile boolean precise;

    /** The rhythm this object started last, 0 if none. */
    private volatile long serial;

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
     * in the main thread group; that is how it shows in a thread dump, while the system's tools ({@code top -H},
     * {@code ps -L}) show it as "tembrix-tap". Its context class loader is that of the thread that called
     * {@link #startTapper()}, as a {@code new Thread()} would inherit it. It runs at real-time priority where the
     * process may have it (see {@link #isRealTime()}), so a {@code tap()} should return quickly: a slow one delays
     * the beats after it, which are then tapped as soon as it returns.
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
     * truncated to the microsecond; NaN counts as 0. The array is copied, never kept or written. The beats
     * appended since the last set ({@link #appendBeats}) go with the old list.
     *
     * <p>The list is shared by every {@code Tapper} object (see the class description) and is freed by
     * {@link #stopTapper()}. After a rhythm has ended by itself, a new list may be set without a stop. Called while
     * the last beat's {@code tap()} runs, or while a stop is still under way, this waits for the rhythm to end; if
     * beats appended during that {@code tap()} let the rhythm go on, it throws as while any rhythm plays.
     *
     * <p>Prints "Set beat list native" on the process's standard output as it is called.
     *
     * @param beats the beat times in seconds
     * @throws NullPointerException if {@code beats} is null
     * @throws IllegalStateException if a rhythm is playing (the message says whose: stop it first), or if the
     *     calling thread was interrupted while it waited for the rhythm before to end (the list is then unchanged,
     *     and the thread's interrupt status is set)
     * @throws OutOfMemoryError if the native copy cannot be allocated; the list is then empty
     */
    public void setBeatList(double[] beats) {
        set(beats, "setBeatList()");
    }

    /** {@link #setBeatList}, whose refusals name the given call. */
    final void set(double[] beats, String call) {
        Objects.requireNonNull(beats, "beat list must not be null");
        for (boolean announce = true; ; announce = false) {
            int phase = EVENTS.getPhase();
            int outcome = nativeSetBeatList(beats, announce);
            if (outcome == DONE) {
                return;
            }
            awaitRhythmBefore(outcome, phase, call);
        }
    }

    /**
     * Adds beats to the end of the beat list, to be tapped in list order after the beats already there. Every
     * element is a beat (unlike {@link #setBeatList}'s list, whose element 0 is never tapped), in seconds from the
     * same start as the list's: the rhythm's {@link #startTimeNanos()}. The rules of {@code setBeatList} hold for
     * them: a beat already due is tapped at once, times are truncated to the microsecond, NaN counts as 0, and a
     * beat that is never due holds back those after it.
     *
     * <p>It may be called from any thread, {@code tap()} on the tapper thread included, and it never waits for
     * {@code tap()}:
     * <ul>
     *   <li>While a rhythm plays, the beats extend it, and this returns true: that rhythm taps them, unless it is
     *       stopped first. Called from the last beat's {@code tap()}, the rhythm goes on with them. Beats appended
     *       while a rhythm plays extend that rhythm only: each is released once tapped, so an endless rhythm fed a
     *       few beats ahead takes no more memory than those beats.
     *   <li>While no rhythm plays (none was started, or it has ended by itself), this returns false, and the beats
     *       extend the list for the next {@link #startTapper()}. After {@link #stopTapper()} there is no list: they
     *       become the list, every one of them a beat.
     *   <li>During a stop (its thread has not ended yet, as after a {@link #stopTapper(long, TimeUnit)} that timed
     *       out), this returns false and the beats are dropped.
     * </ul>
     * Beats that come just as the last beat's {@code tap()} returns either extend the rhythm (true) or, if it has
     * ended, the list (false); none is lost. A {@code startTapper()} after a rhythm that ended by itself plays the
     * list that rhythm started with (and the beats appended since it ended), without the beats appended while it
     * played: a list that was never appended to while it played replays whole.
     *
     * @param beats the beat times in seconds from the rhythm's start
     * @return true if the rhythm that is playing will tap them
     * @throws NullPointerException if {@code beats} is null
     * @throws OutOfMemoryError if the native copy cannot be allocated; nothing is appended then
     */
    public native boolean appendBeats(double[] beats);

    /**
     * Starts the tapper thread on the current beat list and returns once the thread has started and joined the
     * JVM. The beat times count from the thread's start, which it reads first thing, before this method returns;
     * {@link #startTimeNanos()} and {@link #isRealTime()} then tell what it got (from the first {@code tap()} on,
     * too). The thread is not a daemon, so the JVM waits for the rhythm to end before it exits by itself. If a
     * previous rhythm has already ended by itself, it is cleaned up first and the current list is tapped again
     * (see {@link #appendBeats} for what that list holds); called while that rhythm's last {@code tap()} runs, or
     * while a stop is still under way, this waits for the rhythm to end, and throws if it goes on instead.
     *
     * <p>The list is the one last set by any {@code Tapper}. After {@link #stopTapper()} there is none: call
     * {@link #setBeatList} (or {@link #appendBeats}) again first, or this start taps nothing. The rhythm is
     * {@linkplain #setPrecise precise} if this object is.
     *
     * <p>Prints "Start native tapping " on the process's standard output as it is called.
     *
     * @throws IllegalStateException if a rhythm is playing (the message says whose: stop it first), if the calling
     *     thread was interrupted while it waited for the rhythm before to end (its interrupt status is then set),
     *     or if the tapper thread cannot attach to the JVM (a thread stack limit, {@code ulimit -s}, too small for
     *     the JVM; the JVM shutting down); nothing has started then
     * @throws OutOfMemoryError if the tapper thread cannot be created
     * @throws NoSuchMethodError if this object's class has no method {@code void tap()}
     */
    public void startTapper() {
        start("startTapper()");
    }

    /** {@link #startTapper}, whose refusals name the given call. */
    final void start(String call) {
        boolean precise = this.precise;
        for (boolean announce = true; ; announce = false) {
            int phase = EVENTS.getPhase();
            long outcome = nativeStartTapper(precise, announce);
            if (outcome > 0) {
                serial = outcome;
                lastSerial = outcome;
                lastStarter = starterDescription();
                return;
            }
            awaitRhythmBefore((int) -outcome, phase, call);
        }
    }

    /**
     * Stops the tapper thread, waits for it to end and releases the beat list. A beat not yet due is not tapped.
     * If the thread is inside {@code tap()}, that call completes first, however long it takes, and no further tap
     * follows. Calling this when nothing is tapping, or twice, only clears the beat list.
     *
     * <p>It stops whatever rhythm plays, whichever {@code Tapper} or {@link Metronome} started it. It frees the
     * beat list: set a new one before the next {@link #startTapper()}.
     *
     * <p>If the calling thread is interrupted while it waits for {@code tap()}, this returns at once with the
     * thread's interrupt status set, and the stop goes on as after a {@link #stopTapper(long, TimeUnit)} that timed
     * out. Once the JVM has begun to shut down (a shutdown hook that stops the tapper, say), the wait is bounded, so
     * that the tapper never holds up the JVM's exit: this method waits for a {@code tap()} in progress at most about
     * a second, or not at all if that {@code tap()} has itself called {@link System#exit}, and then returns and
     * leaves the thread to the ending process.
     *
     * <p>It cannot be called from {@code tap()}, since it waits for {@code tap()} to return. To stop from there,
     * hand the stop to another thread ({@code executor.execute(tapper::stopTapper)}) and return from {@code tap()}
     * without waiting for it: a {@code tap()} that waits for that stop waits for good.
     *
     * @throws IllegalStateException if called from {@code tap()} on the tapper thread
     */
    public void stopTapper() {
        try {
            stop(0, Long.MAX_VALUE);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /**
     * Stops the tapper thread as {@link #stopTapper()} does, waiting at most the given time for it to end. After a
     * timeout the stop is still under way: no further beat is tapped, the {@code tap()} in progress finishes when
     * it can, beats appended meanwhile are dropped, and the next call on the tapper (any {@code Tapper}'s set,
     * start or stop) completes the stop and frees the list once the thread has ended.
     *
     * @param timeout the longest time to wait
     * @param unit the unit of {@code timeout}
     * @return true once the thread has ended (or if none was tapping), false if the time ran out first (or if the
     *     JVM shuts down and the thread is left to it, as for {@link #stopTapper()})
     * @throws InterruptedException if the calling thread is interrupted while it waits; the stop is then under way
     *     as after a timeout
     * @throws IllegalStateException if called from {@code tap()} on the tapper thread
     */
    public boolean stopTapper(long timeout, TimeUnit unit) throws InterruptedException {
        return stop(0, unit.toNanos(timeout));
    }

    /**
     * Asks for precise taps: the tapper thread then sleeps until shortly before each beat and spins on the
     * clock for the rest, so that the tap does not wait for the system's wake-up. It takes effect at this object's
     * next {@link #startTapper()}. The default is a plain sleep per beat.
     *
     * <p>It buys taps within microseconds of their due times, where the default lands tens to a few hundred of
     * microseconds after them; it costs CPU time. The margin it spins starts at 250 microseconds and adapts to the
     * wake-ups: it widens after one that came too late (by at most 150 microseconds at a time) and narrows slowly
     * while none does, between 50 microseconds and 2 milliseconds, and never takes more than half the time
     * between two beats. So at 10 beats a second it costs a few tenths of a percent of one core on an idle
     * machine, at most 2%; at a thousand beats a second up to half a core. At real-time priority the spinning thread holds its CPU for that time.
     *
     * @param precise true for precise taps, false for the default
     */
    public void setPrecise(boolean precise) {
        this.precise = precise;
    }

    /**
     * Whether the next {@link #startTapper()} of this object starts a precise rhythm.
     *
     * @return the value last given to {@link #setPrecise}, false by default
     */
    public boolean isPrecise() {
        return precise;
    }

    /**
     * When the current or last rhythm started on this object: the tapper thread's start, from which the beat
     * times count, in the time base of {@link System#nanoTime()}. It is known as soon as {@link #startTapper()}
     * returns, and in {@code tap()} from the first beat on, and stays until the next start on this object.
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
     * watchdog thread ("tembrix-watch") one priority above it. The thread runs real-time while it sleeps towards a
     * beat and wakes; once it has spent 3 ms in the JVM without sleeping (in one beat's {@code tap()}, or in a run
     * of overdue beats, with the JVM's own locks and allocation), the watchdog puts it back to normal scheduling
     * until it sleeps again, so that it cannot starve the JVM's other threads. It needs {@code CAP_SYS_NICE} or an
     * rtprio limit of 2 or more, and no finite {@code RLIMIT_RTTIME}. On macOS it is true when the Mach
     * time-constraint policy was accepted. On Windows it is true when the thread could raise itself to
     * {@code THREAD_PRIORITY_TIME_CRITICAL}, which it holds while it sleeps towards a beat and wakes, and drops to
     * normal priority from the moment it enters the JVM until it next sleeps, so that {@code tap()} always runs as
     * a normal thread would.
     *
     * @return true if the tapper thread runs real-time between beats
     * @throws IllegalStateException if no rhythm has been started on this object
     */
    public boolean isRealTime() {
        startTimeNanos();
        return nativeRealTime;
    }

    /**
     * Stops the rhythm that this object started, as {@link #stopTapper()} does, if it is still playing or has not
     * been cleaned up since it ended; otherwise does nothing. Unlike {@code stopTapper()}, it never stops a rhythm
     * that another {@code Tapper} started, nor frees a list it did not start, so that a tapper used in
     * try-with-resources leaves the others alone.
     */
    @Override
    public void close() {
        long mine = serial;
        if (mine == 0) {
            return;
        }
        try {
            stop(mine, Long.MAX_VALUE);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    /** What a refusal calls the rhythm this object starts, when another object's call is refused. */
    String starterDescription() {
        return "another Tapper's rhythm";
    }

    /**
     * The message of a call refused because a rhythm plays.
     *
     * @param call the refused call, as "startTapper()"
     */
    String refusal(String call) {
        long playing = lastSerial;
        if (playing != 0 && playing == serial) {
            return call + " called while this Tapper's rhythm is playing; call stopTapper() first, or wait for it to end";
        }
        return call + " called while " + lastStarter + " is playing (one rhythm plays at a time in a process); stop"
                + " that one first (its stop() or stopTapper()), or wait for it to end";
    }

    /** Called by the tapper thread: see {@link #EVENTS}. */
    @SuppressWarnings("unused")
    private void rhythmEvent() {
        EVENTS.arrive();
    }

    /** After a set or start the natives did not do: refuses it, or waits for the rhythm before to end. */
    private void awaitRhythmBefore(int outcome, int phase, String call) {
        if (outcome == WAIT_FOR_EVENT) {
            try {
                if (awaitEvent(phase, Long.MAX_VALUE, null)) {
                    return;
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new IllegalStateException(call + " was interrupted while it waited for the rhythm before to end"
                        + " (its last tap() still runs, or a stop is under way); nothing was done", e);
            }
        }
        throw new IllegalStateException(refusal(call));
    }

    /**
     * Stops the rhythm playing (only that of {@code onlySerial}, unless it is 0) and completes the stop once its
     * thread has ended; false if that did not happen within the timeout.
     */
    private static boolean stop(long onlySerial, long timeoutNanos) throws InterruptedException {
        long begin = System.nanoTime();
        for (;;) {
            int phase = EVENTS.getPhase();
            Thread ending = nativeStopTapper(onlySerial, Math.max(remaining(begin, timeoutNanos), 0));
            if (ending == null) {
                return true;
            }
            if (!awaitEvent(phase, remaining(begin, timeoutNanos), ending)) {
                return false;
            }
        }
    }

    /**
     * Waits for the tapper thread's next event after {@code phase}, at most the timeout; false if none came. Once
     * the JVM shuts down it gives up after {@link #SHUTDOWN_WAIT_NANOS}, or at once if {@code tapper} (when known)
     * runs the JVM's exit.
     */
    private static boolean awaitEvent(int phase, long timeoutNanos, Thread tapper) throws InterruptedException {
        long begin = System.nanoTime();
        long shutdownSeen = 0;
        boolean shuttingDown = false;
        for (;;) {
            long left = remaining(begin, timeoutNanos);
            if (left <= 0) {
                return false;
            }
            try {
                EVENTS.awaitAdvanceInterruptibly(phase, Math.min(left, SHUTDOWN_CHECK_NANOS), TimeUnit.NANOSECONDS);
                return true;
            } catch (TimeoutException e) {
                // Look whether the JVM shuts down.
            }
            if (jvmShuttingDown()) {
                if (tapper != null && insideJvmExit(tapper)) {
                    return false;
                }
                long now = System.nanoTime();
                if (!shuttingDown) {
                    shuttingDown = true;
                    shutdownSeen = now;
                } else if (now - shutdownSeen >= SHUTDOWN_WAIT_NANOS) {
                    return false;
                }
            }
        }
    }

    /** What is left at this moment of a timeout that began at {@code begin}; Long.MAX_VALUE waits for good. */
    private static long remaining(long begin, long timeoutNanos) {
        return timeoutNanos == Long.MAX_VALUE ? Long.MAX_VALUE : timeoutNanos - (System.nanoTime() - begin);
    }

    /**
     * True once the JVM has begun to shut down: the shutdown hooks then refuse to change. Removing the calling
     * thread, which is alive and so never a registered hook, changes nothing otherwise.
     */
    private static boolean jvmShuttingDown() {
        try {
            Runtime.getRuntime().removeShutdownHook(Thread.currentThread());
            return false;
        } catch (IllegalStateException e) {
            return true;
        } catch (SecurityException e) {
            return false;
        }
    }

    /** True if the thread runs the JVM's exit (it called {@code System.exit()}), which never returns. */
    private static boolean insideJvmExit(Thread thread) {
        for (StackTraceElement frame : thread.getStackTrace()) {
            if (SHUTDOWN_CLASS.equals(frame.getClassName())) {
                return true;
            }
        }
        return false;
    }

    private native int nativeSetBeatList(double[] beats, boolean announce);

    private native long nativeStartTapper(boolean precise, boolean announce);

    /**
     * Stops as {@link #stop} describes; a thread that is not inside {@code tap()} is waited for in the native for
     * up to {@code waitNanos} (capped there at a millisecond), which spares the round trip through Java.
     */
    private static native Thread nativeStopTapper(long onlySerial, long waitNanos);
}
