package drovak.tembrix;

import java.io.IOException;
import java.io.PrintWriter;

/**
 * The shutdown hook of a run: Ctrl-C (or SIGTERM) ends the run from it, as the run's own end would, and a failure
 * there is reported on one line. The run removes it when it ends by itself.
 */
final class ShutdownEnding {

    /** A run's end, which either the run or the hook calls, once. */
    interface End {
        void run() throws IOException, InterruptedException;
    }

    private final Thread hook;

    /** Registers the hook. */
    ShutdownEnding(End end, PrintWriter out, PrintWriter err) {
        hook = new Thread(() -> {
            try {
                end.run();
            } catch (IOException | RuntimeException e) {
                err.println("tembrix: " + Main.oneLine(e));
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            } finally {
                out.flush();
                err.flush();
            }
        }, "tembrix-shutdown");
        Runtime.getRuntime().addShutdownHook(hook);
    }

    /** Removes the hook, unless it runs or has run already: it then ends the run itself. */
    void remove() {
        try {
            Runtime.getRuntime().removeShutdownHook(hook);
        } catch (IllegalStateException shuttingDown) {
            // The hook is running or has run.
        }
    }
}
