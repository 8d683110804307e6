package drovak.android;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/** A thread's scheduling policy as Linux reports it in /proc, for the tests that check the tapper thread's. */
final class ThreadPolicy {

    // Linux's policy numbers, as in sched.h, are the indexes.
    private static final String[] NAMES = {
        "SCHED_OTHER", "SCHED_FIFO", "SCHED_RR", "SCHED_BATCH", "policy 4", "SCHED_IDLE", "SCHED_DEADLINE"
    };
    private static final long CAP_SYS_NICE_BIT = 1L << 23;

    private ThreadPolicy() {}

    /** @return the calling thread's policy as {@link #describe} puts it; null where /proc cannot tell */
    static String ofCurrentThread() {
        try {
            return describe(Files.readString(Path.of("/proc/thread-self/stat"), StandardCharsets.US_ASCII));
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    /**
     * @param stat the contents of a /proc/.../stat file
     * @return such as "real-time (SCHED_FIFO, priority 1)" or "normal (SCHED_OTHER)"
     */
    static String describe(String stat) {
        // Fields 40 (rt_priority) and 41 (policy), counted from field 3, the first after the thread's name: the
        // name is in parentheses and may hold spaces and parentheses itself.
        String[] fields = stat.substring(stat.lastIndexOf(')') + 1).trim().split(" +");
        int priority = Integer.parseInt(fields[40 - 3]);
        int policy = Integer.parseInt(fields[41 - 3]);
        String name = policy >= 0 && policy < NAMES.length ? NAMES[policy] : "policy " + policy;
        boolean realTime = policy == 1 || policy == 2 || policy == 6;
        return realTime ? "real-time (" + name + ", priority " + priority + ")" : "normal (" + name + ")";
    }

    /** @return whether this process may raise a thread to real-time: CAP_SYS_NICE, or an rtprio limit above 0 */
    static boolean processMayUseRealTime() {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/self/status"), StandardCharsets.US_ASCII)) {
                if (line.startsWith("CapEff:")
                        && (Long.parseUnsignedLong(line.substring(7).trim(), 16) & CAP_SYS_NICE_BIT) != 0) {
                    return true;
                }
            }
            for (String line : Files.readAllLines(Path.of("/proc/self/limits"), StandardCharsets.US_ASCII)) {
                if (line.startsWith("Max realtime priority")) {
                    String soft = line.substring("Max realtime priority".length()).trim().split(" +")[0];
                    return soft.equals("unlimited") || Long.parseLong(soft) > 0;
                }
            }
            return false;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }
}
