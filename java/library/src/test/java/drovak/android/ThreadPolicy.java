package drovak.android;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** A thread's scheduling policy as Linux reports it in /proc, for the tests that check the tapper thread's. */
final class ThreadPolicy {

    // Linux's policy numbers, as in sched.h, are the indexes.
    private static final String[] NAMES = {
        "SCHED_OTHER", "SCHED_FIFO", "SCHED_RR", "SCHED_BATCH", "policy 4", "SCHED_IDLE", "SCHED_DEADLINE"
    };
    private static final long CAP_SYS_NICE_BIT = 1L << 23;

    private ThreadPolicy() {}

    /** The kernel's id of the calling thread, from the link /proc/thread-self ("PID/task/TID"). */
    static long currentThreadId() {
        try {
            String target = Files.readSymbolicLink(Path.of("/proc/thread-self")).toString();
            return Long.parseLong(target.substring(target.lastIndexOf('/') + 1));
        } catch (IOException | RuntimeException e) {
            return -1;
        }
    }

    /**
     * A thread's policy, as {@link #describe} puts it, read by util-linux's chrt: a host program, so the answer is
     * right under qemu-user too, whose emulated /proc is not.
     *
     * @return the policy, or what went wrong
     */
    static String ofThread(long tid) {
        try {
            Process chrt = new ProcessBuilder("chrt", "-p", Long.toString(tid)).redirectErrorStream(true).start();
            String out = new String(chrt.getInputStream().readAllBytes(), StandardCharsets.US_ASCII);
            chrt.waitFor();
            Matcher policy = Pattern.compile("policy: (SCHED_\\w+)").matcher(out);
            Matcher priority = Pattern.compile("priority: (\\d+)").matcher(out);
            if (!policy.find() || !priority.find()) {
                return "unknown: " + out.strip();
            }
            String name = policy.group(1);
            return name.equals("SCHED_FIFO") || name.equals("SCHED_RR")
                    ? "real-time (" + name + ", priority " + priority.group(1) + ")" : "normal (" + name + ")";
        } catch (IOException | InterruptedException e) {
            return e.toString();
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

    /**
     * @return whether this process may have the library's real-time scheduling: CAP_SYS_NICE, or an rtprio limit of
     *     2 or more (the tapper thread's priority and its watchdog's, one above)
     */
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
                    return soft.equals("unlimited") || Long.parseLong(soft) >= 2;
                }
            }
            return false;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }
}
