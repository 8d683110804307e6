package drovak.android;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.lang.ref.WeakReference;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;

class TapperTest {

    /** Tap times, in nanoseconds of System.nanoTime(). */
    private final List<Long> taps = new ArrayList<>();

    private final Tapper tapper = new Tapper(this::recordTap);

    private volatile Thread tapperThread;

    private synchronized void recordTap() {
        taps.add(System.nanoTime());
        tapperThread = Thread.currentThread();
        notifyAll();
    }

    private synchronized boolean awaitTaps(int count, long timeoutMillis) throws InterruptedException {
        long deadline = System.currentTimeMillis() + timeoutMillis;
        while (taps.size() < count) {
            long left = deadline - System.currentTimeMillis();
            if (left <= 0) {
                return false;
            }
            wait(left);
        }
        return true;
    }

    private synchronized List<Long> taps() {
        return new ArrayList<>(taps);
    }

    @AfterEach
    void stop() {
        tapper.stopTapper();
    }

    @Nested
    class Cycle {

        @Test
        void tapsEachBeatAfterTheFirstAtItsTime() throws InterruptedException {
            double[] beats = {42.0, 0.05, 0.10, 0.20};
            tapper.setBeatList(beats);
            long start = System.nanoTime();
            tapper.startTapper();
            assertTrue(awaitTaps(3, 5000));
            Thread.sleep(100);
            List<Long> times = taps();
            assertEquals(3, times.size(), "element 0 is never tapped");
            for (int i = 0; i < times.size(); i++) {
                long offsetMicros = (times.get(i) - start) / 1000;
                long dueMicros = (long) (beats[i + 1] * 1e6);
                assertTrue(offsetMicros >= dueMicros, "tap " + i + " early: " + offsetMicros + " us");
                assertTrue(offsetMicros < dueMicros + 250_000, "tap " + i + " late: " + offsetMicros + " us");
            }
            tapper.stopTapper();
            tapper.setBeatList(new double[] {0, 0});
            tapper.startTapper();
            assertTrue(awaitTaps(4, 5000), "a second cycle taps as well");
        }

        @Test
        void theStartTimeIsWhereTheBeatTimesCountFrom() throws InterruptedException {
            IllegalStateException notYet = assertThrows(IllegalStateException.class, tapper::startTimeNanos);
            assertTrue(notYet.getMessage().contains("startTapper()"), notYet.getMessage());
            assertThrows(IllegalStateException.class, tapper::isRealTime);
            double[] beats = {0, 0.02, 0.05, 0.08};
            tapper.setBeatList(beats);
            long before = System.nanoTime();
            tapper.startTapper();
            long returned = System.nanoTime();
            long start = tapper.startTimeNanos();
            assertTrue(start >= before && start <= returned, "read inside startTapper()");
            assertTrue(awaitTaps(3, 5000));
            List<Long> times = taps();
            for (int i = 0; i < times.size(); i++) {
                long lateNanos = times.get(i) - (start + (long) (beats[i + 1] * 1e6) * 1000);
                assertTrue(lateNanos >= 0, "tap " + i + " before its due time: " + lateNanos + " ns");
                assertTrue(lateNanos < 250_000_000L, "tap " + i + " late: " + lateNanos + " ns");
            }
            tapper.stopTapper();
            assertEquals(start, tapper.startTimeNanos(), "kept after the stop");
        }

        /** A subclass's own field of the library's name is its own business. */
        @Test
        void aSubclassFieldOfTheSameNameIsLeftAlone() {
            class Stamped extends Tapper {
                long nativeStartTimeNanos = 42;
            }
            Stamped stamped = new Stamped();
            long before = System.nanoTime();
            stamped.startTapper();
            assertTrue(stamped.startTimeNanos() >= before);
            assertEquals(42, stamped.nativeStartTimeNanos);
        }

        @Test
        void tapRunsOnAnAttachedThreadWithTheStartersContextLoader() throws InterruptedException {
            List<Object> seen = new ArrayList<>();
            CountDownLatch tapped = new CountDownLatch(1);
            Tapper own = new Tapper() {
                @Override
                public void tap() {
                    Thread thread = Thread.currentThread();
                    seen.add(thread.getContextClassLoader());
                    seen.add(thread.getName());
                    seen.add(thread.isDaemon());
                    tapped.countDown();
                }
            };
            own.setBeatList(new double[] {0, 0});
            own.startTapper();
            assertTrue(tapped.await(5, TimeUnit.SECONDS));
            own.stopTapper();
            assertEquals(Thread.currentThread().getContextClassLoader(), seen.get(0));
            assertTrue(((String) seen.get(1)).startsWith("Thread-"), "named by the JVM: " + seen.get(1));
            assertEquals(false, seen.get(2));
        }

        @Test
        void stopMidSleepReturnsPromptlyAndTheBeatIsNotTapped() throws InterruptedException {
            tapper.setBeatList(new double[] {0, 0.01, 30.0});
            tapper.startTapper();
            assertTrue(awaitTaps(1, 5000));
            long before = System.nanoTime();
            tapper.stopTapper();
            assertTrue(System.nanoTime() - before < TimeUnit.SECONDS.toNanos(2), "waited for the 30 s beat");
            assertEquals(1, taps().size());
        }

        @Test
        void aThrowingTapIsReportedAndTappingGoesOn() throws InterruptedException {
            PrintStream savedErr = System.err;
            ByteArrayOutputStream err = new ByteArrayOutputStream();
            CountDownLatch taps = new CountDownLatch(3);
            Tapper throwing = new Tapper(() -> {
                taps.countDown();
                throw new IllegalArgumentException("thrown from tap");
            });
            System.setErr(new PrintStream(err, true, StandardCharsets.UTF_8));
            try {
                throwing.setBeatList(new double[] {0, 0, 0.01, 0.02});
                throwing.startTapper();
                assertTrue(taps.await(5, TimeUnit.SECONDS));
                throwing.stopTapper();
            } finally {
                System.setErr(savedErr);
            }
            assertTrue(err.toString(StandardCharsets.UTF_8).contains("thrown from tap"), err.toString());
        }

        @Test
        void aStoppedTapperCanBeGarbageCollected() throws InterruptedException {
            WeakReference<Tapper> ref = cycleAndForget();
            for (int i = 0; i < 100 && ref.get() != null; i++) {
                System.gc();
                Thread.sleep(20);
            }
            assertNull(ref.get(), "the native side still holds the stopped Tapper");
        }

        private WeakReference<Tapper> cycleAndForget() throws InterruptedException {
            CountDownLatch tapped = new CountDownLatch(1);
            Tapper t = new Tapper(tapped::countDown);
            t.setBeatList(new double[] {0, 0, 10});
            t.startTapper();
            assertTrue(tapped.await(5, TimeUnit.SECONDS));
            t.stopTapper();
            return new WeakReference<>(t);
        }

        @Test
        void aSubclassOverridingTapIsCalled() throws InterruptedException {
            CountDownLatch tapped = new CountDownLatch(2);
            try (Tapper sub = new Tapper() {
                @Override
                public void tap() {
                    tapped.countDown();
                }
            }) {
                sub.setBeatList(new double[] {0, 0, 0});
                sub.startTapper();
                assertTrue(tapped.await(5, TimeUnit.SECONDS));
            }
        }
    }

    @Nested
    class Misuse {

        @Test
        void startOrSetWhileTappingThrowAndTheRhythmGoesOn() throws InterruptedException {
            tapper.setBeatList(new double[] {0, 0.2, 60});
            tapper.startTapper();
            IllegalStateException e = assertThrows(IllegalStateException.class, tapper::startTapper);
            assertTrue(e.getMessage().contains("stopTapper()"), e.getMessage());
            assertThrows(IllegalStateException.class, () -> tapper.setBeatList(new double[] {0, 0}));
            assertThrows(IllegalStateException.class,
                    () -> new Tapper().startTapper(), "the tapper is one per process");
            assertTrue(awaitTaps(1, 5000), "the rhythm in play is untouched");
        }

        @Test
        void stopWithoutStartOrTwiceIsHarmless() {
            tapper.stopTapper();
            tapper.setBeatList(new double[] {0, 1});
            tapper.stopTapper();
            tapper.stopTapper();
        }

        @Test
        void nullListThrows() {
            NullPointerException e = assertThrows(NullPointerException.class, () -> tapper.setBeatList(null));
            assertTrue(e.getMessage().contains("null"));
        }

        @Test
        void aFinishedRhythmNeedsNoStopBeforeTheNext() throws InterruptedException {
            tapper.setBeatList(new double[] {0, 0});
            tapper.startTapper();
            assertTrue(awaitTaps(1, 5000));
            tapperThread.join(5000);
            tapper.setBeatList(new double[] {0, 0, 0});
            tapper.startTapper();
            assertTrue(awaitTaps(3, 5000));
        }

        @Test
        void nativesCalledFromTapThrow() throws InterruptedException {
            List<Throwable> thrown = new ArrayList<>();
            CountDownLatch tapped = new CountDownLatch(1);
            Tapper selfStopping = new Tapper() {
                @Override
                public void tap() {
                    try {
                        stopTapper();
                    } catch (IllegalStateException e) {
                        thrown.add(e);
                    }
                    tapped.countDown();
                }
            };
            selfStopping.setBeatList(new double[] {0, 0});
            selfStopping.startTapper();
            assertTrue(tapped.await(5, TimeUnit.SECONDS));
            selfStopping.stopTapper();
            assertEquals(1, thrown.size());
            assertFalse(thrown.get(0).getMessage().isEmpty());
        }
    }
    @Nested
    class Stopping {

        /** A tap() stuck on a stalled queue no longer holds up its stoppers for good. */
        @Test
        void aStopThatTimesOutStaysUnderWayAndTheNextCallCompletesIt() throws InterruptedException {
            CountDownLatch inTap = new CountDownLatch(1);
            CountDownLatch release = new CountDownLatch(1);
            AtomicInteger stuckTaps = new AtomicInteger();
            Tapper stuck = new Tapper(() -> {
                stuckTaps.incrementAndGet();
                inTap.countDown();
                try {
                    release.await();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            });
            stuck.setBeatList(new double[] {0, 0, 0});
            stuck.startTapper();
            assertTrue(inTap.await(5, TimeUnit.SECONDS));
            assertFalse(stuck.stopTapper(100, TimeUnit.MILLISECONDS), "tap() has not returned");
            assertFalse(stuck.appendBeats(new double[] {0}), "beats are dropped during a stop");

            Thread.currentThread().interrupt();
            stuck.stopTapper();
            assertTrue(Thread.interrupted(), "an interrupted stop returns at once, and says so");

            release.countDown();
            stuck.setBeatList(new double[] {0, 0});
            assertEquals(1, stuckTaps.get(), "the stopped rhythm tapped no further beat");
            stuck.startTapper();
            assertTrue(stuck.stopTapper(5, TimeUnit.SECONDS));
        }

        /** A sound effect in try-with-resources, refused while the music plays, leaves the music alone. */
        @Test
        void closeStopsOnlyItsOwnRhythmAndARefusalSaysWhoPlays() throws InterruptedException {
            double[] music = new double[200];
            for (int i = 1; i < music.length; i++) {
                music[i] = i * 0.01;
            }
            tapper.setBeatList(music);
            tapper.startTapper();
            try (Tapper effect = new Tapper()) {
                IllegalStateException e = assertThrows(IllegalStateException.class,
                        () -> effect.setBeatList(new double[] {0, 0}));
                assertTrue(e.getMessage().contains("another Tapper's rhythm is playing"), e.getMessage());
            }
            int before = taps().size();
            assertTrue(awaitTaps(before + 3, 5000), "the music plays on after the effect's close()");
            tapper.close();
            int after = taps().size();
            Thread.sleep(50);
            assertEquals(after, taps().size(), "its own close() stops it");
        }
    }
}
