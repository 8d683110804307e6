package drovak.tembrix.bench;

import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * Processes that spin on the CPU at normal priority, to load the machine while contenders tap. They end when
 * closed, when this JVM shuts down, and by themselves soon after this JVM has died (each checks every few tens
 * of milliseconds that its parent lives).
 */
final class Spinners implements AutoCloseable {

    // A shell loop: no build needed. The inner loop spins; the outer one checks the parent.
    private static final String SPIN = "while :; do i=0; while [ $i -lt 20000 ]; do i=$((i+1)); done; "
            + "kill -0 $PPID 2>/dev/null || exit 0; done";

    private final List<Process> processes = new ArrayList<>();
    private final Thread hook = new Thread(this::destroy, "bench-spinners");

    /**
     * Starts the given number of spinning processes.
     *
     * @throws IOException if one cannot be started; those already started are ended
     */
    Spinners(int count) throws IOException {
        Runtime.getRuntime().addShutdownHook(hook);
        try {
            for (int i = 0; i < count; i++) {
                processes.add(new ProcessBuilder("sh", "-c", SPIN).redirectErrorStream(true)
                        .redirectOutput(ProcessBuilder.Redirect.DISCARD).start());
            }
        } catch (IOException | RuntimeException e) {
            close();
            throw e;
        }
    }

    /** @return how many are spinning */
    int count() {
        return processes.size();
    }

    /** Whether every spinner still runs. */
    boolean allAlive() {
        return processes.stream().allMatch(Process::isAlive);
    }

    /** Ends every spinner and waits for it. */
    @Override
    public void close() {
        destroy();
        try {
            Runtime.getRuntime().removeShutdownHook(hook);
        } catch (IllegalStateException shuttingDown) {
            // The hook is running or has run.
        }
    }

    private void destroy() {
        for (Process process : processes) {
            process.destroyForcibly();
        }
        for (Process process : processes) {
            try {
                process.waitFor(5, TimeUnit.SECONDS);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return;
            }
        }
    }
}
