package drovak.tembrix.bench;

/** What a contender's tapping thread got: whether it ran real-time, and its policy as the report names it. */
final class Scheduling {

    final boolean realTime;
    final String policy;

    private Scheduling(boolean realTime, String policy) {
        this.realTime = realTime;
        this.policy = policy;
    }

    /** The library's tapper thread, as {@code Tapper.isRealTime()} tells it. */
    static Scheduling ofLibrary(boolean realTime) {
        return new Scheduling(realTime, realTime ? "SCHED_FIFO under a watchdog" : "normal");
    }

    /** A thread whose Linux policy number is known (sched.h), as the bare-C floor reports its own. */
    static Scheduling ofPolicy(int policy) {
        switch (policy) {
            case 0:
                return new Scheduling(false, "SCHED_OTHER");
            case 1:
                return new Scheduling(true, "SCHED_FIFO");
            case 2:
                return new Scheduling(true, "SCHED_RR");
            case 3:
                return new Scheduling(false, "SCHED_BATCH");
            case 5:
                return new Scheduling(false, "SCHED_IDLE");
            case 6:
                return new Scheduling(true, "SCHED_DEADLINE");
            default:
                return new Scheduling(false, "policy " + policy);
        }
    }
}
