package drovak.tembrix.bench;

import drovak.tembrix.Stats;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;

/** The micro figures: each a library operation against its baseline. A figure not measured stays NaN. */
final class MicroFigures {

    /** How long a stopped tapper has been left asleep: well past its start, far before its only beat. */
    private static final long SLEEP_BEFORE_STOP_NANOS = TimeUnit.MILLISECONDS.toNanos(2);
    private static final double FAR_BEAT_SECONDS = 60.0;

    double clockGettimeNanos = Double.NaN;
    double getTimeNsecNanos = Double.NaN;

    int listSize;
    double setBeatListNanos = Double.NaN;
    double getReleaseCopyNanos = Double.NaN;

    int overdueBeats;
    double libraryOverdueRate = Double.NaN;
    double floorSyscallRate = Double.NaN;
    double floorNoSyscallRate = Double.NaN;

    Stats stopNanos;
    Stats startNanos;
    Stats floorStopNanos;
    Stats floorCondvarStopNanos;
    Stats detachNanos;

    final List<String> notes = new ArrayList<>();

    /** getTimeNsec against clock_gettime, from the Google Benchmark binary. */
    void measureClock(Path clockBench, boolean quick) throws IOException, InterruptedException {
        List<String> command = List.of(clockBench.toString(), "--benchmark_format=json",
                "--benchmark_repetitions=" + (quick ? 1 : 7), "--benchmark_report_aggregates_only=" + !quick,
                "--benchmark_min_time=" + (quick ? "0.01" : "0.2"));
        Process process = new ProcessBuilder(command).redirectError(ProcessBuilder.Redirect.DISCARD).start();
        String json;
        try (InputStream in = process.getInputStream()) {
            json = new String(in.readAllBytes(), StandardCharsets.UTF_8);
        }
        if (!process.waitFor(2, TimeUnit.MINUTES) || process.exitValue() != 0) {
            process.destroyForcibly();
            throw new IllegalStateException(clockBench + " failed");
        }
        Map<String, Double> times = GoogleBenchmarkJson.realTimeNanos(json);
        clockGettimeNanos = times.getOrDefault("BM_clock_gettime", Double.NaN);
        getTimeNsecNanos = times.getOrDefault("BM_getTimeNsec", Double.NaN);
    }

    /**
     * setBeatList of a long list against the Get/Release+copy baseline, alternating, median of each. The
     * library's list is released by stopTapper afterwards, the baseline's block by freeCopy.
     */
    void measureSetBeatList(RecordingTapper tapper, int size, int repetitions) {
        listSize = size;
        double[] beats = new double[size];
        for (int i = 1; i < size; i++) {
            beats[i] = i * 0.001;
        }
        int warmUp = 2;
        long[] library = new long[repetitions];
        long[] baseline = new long[repetitions];
        for (int i = -warmUp; i < repetitions; i++) {
            long t = System.nanoTime();
            tapper.setBeatList(beats);
            long libraryTime = System.nanoTime() - t;
            t = System.nanoTime();
            int copied = JniBaseline.getReleaseCopy(beats);
            long baselineTime = System.nanoTime() - t;
            if (copied != size) {
                throw new IllegalStateException("the baseline copied " + copied + " of " + size + " beats");
            }
            if (i >= 0) {
                library[i] = libraryTime;
                baseline[i] = baselineTime;
            }
        }
        tapper.stopTapper();
        JniBaseline.freeCopy();
        setBeatListNanos = Stats.of(library).percentile(50);
        getReleaseCopyNanos = Stats.of(baseline).percentile(50);
    }

    /** The library's tap rate on a run of beats all due at 0, median of a few runs. */
    void measureLibraryOverdue(RecordingTapper tapper, int beats, int repetitions) throws InterruptedException {
        overdueBeats = beats;
        double[] list = new double[beats + 1];
        long[] rates = new long[repetitions];
        for (int r = 0; r < repetitions; r++) {
            tapper.expect(beats);
            tapper.setBeatList(list);
            tapper.startTapper();
            boolean finished = tapper.awaitAll(60_000);
            tapper.stopTapper();
            if (!finished) {
                throw new IllegalStateException("the library tapped " + tapper.count() + " of " + beats
                        + " overdue beats within a minute");
            }
            long[] taps = tapper.taps();
            rates[r] = Math.round((beats - 1) * 1e9 / Math.max(1, taps[beats - 1] - taps[0]));
        }
        libraryOverdueRate = Stats.of(rates).percentile(50);
    }

    /** The floor's overdue rate with and without one nanosleep syscall per beat, median of a few runs. */
    void measureFloorOverdue(Floor floor, int beats, int repetitions) throws IOException, InterruptedException {
        long[] withSyscall = new long[repetitions];
        long[] without = new long[repetitions];
        for (int r = 0; r < repetitions; r++) {
            FloorOutput.OverdueRun run = floor.overdue(beats, true);
            if (run.einval != beats) {
                notes.add("only " + run.einval + " of " + beats + " overdue nanosleep calls failed with EINVAL");
            }
            withSyscall[r] = Math.round(run.tapsPerSecond());
            without[r] = Math.round(floor.overdue(beats, false).tapsPerSecond());
        }
        floorSyscallRate = Stats.of(withSyscall).percentile(50);
        floorNoSyscallRate = Stats.of(without).percentile(50);
    }

    /**
     * How long stopTapper() takes while the tapper thread sleeps towards a far beat, and how long startTapper()
     * took before it (which bounds the library's t0 from above).
     */
    void measureStops(RecordingTapper tapper, int stops) {
        long[] stop = new long[stops];
        long[] start = new long[stops];
        double[] list = {0, FAR_BEAT_SECONDS};
        for (int i = 0; i < stops; i++) {
            tapper.expect(1);
            tapper.setBeatList(list);
            long t = System.nanoTime();
            tapper.startTapper();
            start[i] = System.nanoTime() - t;
            LockSupport.parkNanos(SLEEP_BEFORE_STOP_NANOS);
            t = System.nanoTime();
            tapper.stopTapper();
            stop[i] = System.nanoTime() - t;
            if (tapper.count() != 0) {
                throw new IllegalStateException("a beat due in " + FAR_BEAT_SECONDS
                        + " s was tapped although the tapper was stopped after 2 ms");
            }
        }
        stopNanos = Stats.of(stop);
        startNanos = Stats.of(start);
    }

    /**
     * The parts that a stop waits for, measured apart: cancelling and joining a sleeping thread in C with no JVM,
     * and a native thread's DetachCurrentThread; and, for comparison, a C stop that wakes a condition variable
     * wait instead of cancelling.
     */
    void measureStopParts(Floor floor, int stops) throws IOException, InterruptedException {
        if (floor != null) {
            floorStopNanos = Stats.of(floor.stops(stops, false));
            floorCondvarStopNanos = Stats.of(floor.stops(stops, true));
        }
        if (JniBaseline.isLoaded()) {
            long[] detach = new long[stops];
            for (int i = 0; i < stops; i++) {
                detach[i] = JniBaseline.detachNanos();
                if (detach[i] < 0) {
                    throw new IllegalStateException("the bench JNI helper could not attach a native thread");
                }
            }
            detachNanos = Stats.of(detach);
        }
    }
}
