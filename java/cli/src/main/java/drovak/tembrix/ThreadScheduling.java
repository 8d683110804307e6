package drovak.tembrix;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.Locale;

/**
 * A thread's scheduling policy and real-time priority as Linux reports them in {@code /proc}: how the command,
 * the benchmark and the tests learn whether the native tapper thread ran real-time. {@code tap()} runs on that
 * thread, so {@link #ofCurrentThread()} called from {@code tap()} reads the tapper thread's policy. Each reading
 * opens a file; do it once, and not between two beats that are close together (in the last {@code tap()}, or
 * from another thread by {@link #ofThread(long)} with the id that {@link #currentThreadId()} took in
 * {@code tap()}).
 *
 * <p>Where {@code /proc} does not tell (not Linux), the readings return null or -1.
 */
public final class ThreadScheduling {

    // Linux's policy numbers, as in sched.h.
    /** The normal time-sharing policy. */
    public static final int SCHED_OTHER = 0;
    /** Real-time, first in first out: what the tapper thread asks for. */
    public static final int SCHED_FIFO = 1;
    /** Real-time, round robin. */
    public static final int SCHED_RR = 2;
    /** Normal, for batch work. */
    public static final int SCHED_BATCH = 3;
    /** Below normal: runs only when nothing else would. */
    public static final int SCHED_IDLE = 5;
    /** Real-time, by deadline. */
    public static final int SCHED_DEADLINE = 6;

    /** The capability that lets a process raise any thread to real-time, CAP_SYS_NICE, as a bit of CapEff. */
    private static final long CAP_SYS_NICE_BIT = 1L << 23;

    // Fields of /proc/.../stat, counted from 1: 40 is rt_priority, 41 policy. Field 2, the
    // thread's name in parentheses, may hold spaces and parentheses itself, so the fields
    // after it are counted from its last ')'; the first of them is field 3.
    private static final int RT_PRIORITY_FIELD = 40;
    private static final int POLICY_FIELD = 41;
    private static final int FIRST_FIELD_AFTER_NAME = 3;

    private final int policy;
    private final int priority;

    /**
     * @param policy the policy number, such as {@link #SCHED_FIFO}
     * @param priority the real-time priority, 0 under a normal policy
     */
    public ThreadScheduling(int policy, int priority) {
        this.policy = policy;
        this.priority = priority;
    }

    /**
     * Reads the calling thread's scheduling; called from {@code tap()}, the tapper thread's.
     *
     * @return the policy and priority, or null where {@code /proc/thread-self} cannot be read
     */
    public static ThreadScheduling ofCurrentThread() {
        return read(Paths.get("/proc/thread-self/stat"));
    }

    /**
     * Reads the scheduling of a thread of this process while it lives.
     *
     * @param threadId the kernel's id of the thread, as from {@link #currentThreadId()}
     * @return the policy and priority, or null if the thread has ended or {@code /proc} cannot be read
     */
    public static ThreadScheduling ofThread(long threadId) {
        return threadId < 0 ? null : read(Paths.get("/proc/self/task/" + threadId + "/stat"));
    }

    /**
     * The kernel's id of the calling thread, from the link {@code /proc/thread-self}: one system call, no file
     * opened.
     *
     * @return the id, or -1 where it cannot be read
     */
    public static long currentThreadId() {
        try {
            // "<pid>/task/<tid>"
            String target = Files.readSymbolicLink(Paths.get("/proc/thread-self")).toString();
            return Long.parseLong(target.substring(target.lastIndexOf('/') + 1));
        } catch (IOException | UnsupportedOperationException | NumberFormatException | SecurityException e) {
            return -1;
        }
    }

    private static ThreadScheduling read(Path stat) {
        try {
            return parseStat(new String(Files.readAllBytes(stat), StandardCharsets.US_ASCII));
        } catch (IOException | SecurityException | IllegalArgumentException e) {
            return null;
        }
    }

    /**
     * Parses the contents of a {@code /proc/.../stat} file, such as another process prints it with
     * {@code cat /proc/self/stat}.
     *
     * @param stat the file's contents
     * @return the policy and priority it holds
     * @throws IllegalArgumentException if it is not such a file
     */
    public static ThreadScheduling parseStat(String stat) {
        int nameEnd = stat.lastIndexOf(')');
        String[] fields = stat.substring(nameEnd + 1).trim().split(" +");
        int policyIndex = POLICY_FIELD - FIRST_FIELD_AFTER_NAME;
        if (nameEnd < 0 || fields.length <= policyIndex) {
            throw new IllegalArgumentException("not a /proc stat line: " + stat);
        }
        try {
            return new ThreadScheduling(Integer.parseInt(fields[policyIndex]),
                    Integer.parseInt(fields[RT_PRIORITY_FIELD - FIRST_FIELD_AFTER_NAME]));
        } catch (NumberFormatException e) {
            throw new IllegalArgumentException("not a /proc stat line: " + stat, e);
        }
    }

    /**
     * Whether this process may switch a thread to real-time scheduling: it has CAP_SYS_NICE in effect, or a
     * real-time priority limit (RLIMIT_RTPRIO) above 0.
     *
     * @return the answer; false where {@code /proc/self} cannot be read
     */
    public static boolean processMayUseRealTime() {
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"), StandardCharsets.US_ASCII)) {
                if (line.startsWith("CapEff:")
                        && (Long.parseUnsignedLong(line.substring(7).trim(), 16) & CAP_SYS_NICE_BIT) != 0) {
                    return true;
                }
            }
            List<String> limits = Files.readAllLines(Paths.get("/proc/self/limits"), StandardCharsets.US_ASCII);
            for (String line : limits) {
                if (line.startsWith("Max realtime priority")) {
                    String soft = line.substring("Max realtime priority".length()).trim().split(" +")[0];
                    return soft.equals("unlimited") || Long.parseLong(soft) > 0;
                }
            }
            return false;
        } catch (IOException | RuntimeException e) {
            // Not Linux, or a format this does not know.
            return false;
        }
    }

    /** @return the policy number, such as {@link #SCHED_FIFO} */
    public int policy() {
        return policy;
    }

    /** @return the real-time priority, 0 under a normal policy */
    public int priority() {
        return priority;
    }

    /** @return whether the policy is a real-time one: SCHED_FIFO, SCHED_RR or SCHED_DEADLINE */
    public boolean isRealTime() {
        return policy == SCHED_FIFO || policy == SCHED_RR || policy == SCHED_DEADLINE;
    }

    /** @return the policy's name, such as "SCHED_FIFO" */
    public String policyName() {
        switch (policy) {
            case SCHED_OTHER:
                return "SCHED_OTHER";
            case SCHED_FIFO:
                return "SCHED_FIFO";
            case SCHED_RR:
                return "SCHED_RR";
            case SCHED_BATCH:
                return "SCHED_BATCH";
            case SCHED_IDLE:
                return "SCHED_IDLE";
            case SCHED_DEADLINE:
                return "SCHED_DEADLINE";
            default:
                return "policy " + policy;
        }
    }

    /**
     * @return such as "real-time (SCHED_FIFO, priority 1)" or "normal (SCHED_OTHER)"
     */
    @Override
    public String toString() {
        return isRealTime() ? String.format(Locale.ROOT, "real-time (%s, priority %d)", policyName(), priority)
                : "normal (" + policyName() + ")";
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof ThreadScheduling && ((ThreadScheduling) other).policy == policy
                && ((ThreadScheduling) other).priority == priority;
    }

    @Override
    public int hashCode() {
        return 31 * policy + priority;
    }

    /**
     * One line on how to let the tapper thread run real-time, for when it did not.
     *
     * @return the advice, without a line break
     */
    public static String howToAllow() {
        return "to allow real-time scheduling, raise the rtprio limit (e.g. \"@audio - rtprio 1\" in "
                + "/etc/security/limits.d/audio.conf, for the audio group) or give the java binary CAP_SYS_NICE "
                + "(setcap cap_sys_nice+ep; see the README)";
    }
}
