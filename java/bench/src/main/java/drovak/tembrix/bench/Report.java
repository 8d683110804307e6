package drovak.tembrix.bench;

import drovak.tembrix.Stats;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/** The benchmark's report in Markdown: a table per schedule, the micro figures and the targets. */
final class Report {

    static final String LIBRARY = "tembrix";
    static final String LIBRARY_PRECISE = "tembrix, precise";
    static final String FLOOR_DEFAULT = "bare C, default slack";
    static final String FLOOR_MINIMAL = "bare C, 1 ns slack";
    static final String FLOOR_REAL_TIME = "bare C, real-time";
    static final List<String> PURE_JAVA = List.of("parkNanos loop", "ScheduledThreadPoolExecutor", "java.util.Timer",
            "javax.sound.midi.Sequencer");

    private static final double[] PERCENTILES = {50, 90, 99, 100};

    /**
     * The results for one schedule, per contender in table order: its pooled statistics from the start point,
     * those from the tapping thread's own t0 (for the contenders whose t0 is known), its start-up cell, for the
     * contenders that ask for real-time scheduling how often they got it, and the CPU time its tapping thread
     * used (where it is known).
     */
    static final class ScheduleResult {
        final String name;
        final Map<String, LatencyStats> stats;
        final Map<String, LatencyStats> fromT0;
        final Map<String, String> startup;
        final Map<String, Granted> granted;
        final Map<String, CpuUse> cpu;

        ScheduleResult(String name, Map<String, LatencyStats> stats, Map<String, LatencyStats> fromT0,
                Map<String, String> startup) {
            this(name, stats, fromT0, startup, Map.of(), Map.of());
        }

        ScheduleResult(String name, Map<String, LatencyStats> stats, Map<String, LatencyStats> fromT0,
                Map<String, String> startup, Map<String, Granted> granted, Map<String, CpuUse> cpu) {
            this.name = name;
            this.stats = stats;
            this.fromT0 = fromT0;
            this.startup = startup;
            this.granted = granted;
            this.cpu = cpu;
        }
    }

    /**
     * How often a contender's tapping thread ran real-time: in how many of the runs whose policy is known, and
     * the policy of the first such run (a real-time one if any was).
     */
    static final class Granted {
        final int realTime;
        final int runs;
        final String policy;

        Granted(int realTime, int runs, String policy) {
            this.realTime = realTime;
            this.runs = runs;
            this.policy = policy;
        }

        boolean always() {
            return runs > 0 && realTime == runs;
        }

        @Override
        public String toString() {
            if (runs == 0) {
                return "not known";
            }
            String count = realTime == runs || realTime == 0 ? "in all " + runs + " runs"
                    : "in " + realTime + " of " + runs + " runs";
            return (realTime > 0 ? "granted " : "refused ") + count + " (" + policy + ")";
        }
    }

    /** One target: what it asks, what was measured, and whether it is met (null when not measured). */
    static final class Target {
        final String goal;
        final String measured;
        final Boolean met;

        Target(String goal, String measured, Boolean met) {
            this.goal = goal;
            this.measured = measured;
            this.met = met;
        }
    }

    private Report() {}

    /**
     * The lateness and jitter table of one schedule, in microseconds, with the CPU time per beat (in
     * microseconds) and as a share of one core.
     */
    static String table(ScheduleResult result) {
        StringBuilder out = new StringBuilder();
        out.append("| contender | lateness p50 | p90 | p99 | max | jitter p50 | p90 | p99 | max | CPU per beat "
                + "| CPU, % of a core | t0 after start |\n");
        out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        for (Map.Entry<String, LatencyStats> entry : result.stats.entrySet()) {
            LatencyStats stats = entry.getValue();
            out.append("| ").append(entry.getKey()).append(" |");
            for (double p : PERCENTILES) {
                out.append(' ').append(micros(stats.lateness(p))).append(" |");
            }
            for (double p : PERCENTILES) {
                out.append(' ').append(micros(stats.jitter(p))).append(" |");
            }
            CpuUse cpu = result.cpu.get(entry.getKey());
            out.append(' ').append(cpu == null ? "" : micros(Math.round(cpu.perBeatNanos()))).append(" |");
            out.append(' ').append(cpu == null ? "" : percent(cpu.shareOfCore())).append(" |");
            out.append(' ').append(result.startup.getOrDefault(entry.getKey(), "")).append(" |\n");
        }
        return out.toString();
    }

    /** A share as a percentage: two decimals below 10%, one above. */
    static String percent(double share) {
        double pct = share * 100;
        return String.format(Locale.ROOT, pct < 10 ? "%.2f" : "%.1f", pct);
    }

    /**
     * The precise mode's targets on each idle schedule: its lateness p99 from the due time (the tapper thread's
     * own t0 plus the beat's offset) at most 10 us, and at most a tenth of the default mode's in the same run.
     * Not measured where either mode's t0 is not known.
     */
    static List<Target> preciseTargets(List<ScheduleResult> idle) {
        List<Target> targets = new ArrayList<>();
        for (ScheduleResult result : idle) {
            if (!result.stats.containsKey(LIBRARY_PRECISE)) {
                continue;
            }
            LatencyStats precise = result.fromT0.get(LIBRARY_PRECISE);
            LatencyStats normal = result.fromT0.get(LIBRARY);
            String absolute = result.name + ": " + LIBRARY_PRECISE + ", lateness p99 from the due time "
                    + "\u2264 10 \u00b5s";
            String relative = result.name + ": " + LIBRARY_PRECISE + ", lateness p99 from the due time "
                    + "\u2264 0.1\u00d7 the default mode's";
            if (precise == null || normal == null) {
                targets.add(new Target(absolute, "not measured: the tapper thread's t0 is not known", null));
                targets.add(new Target(relative, "not measured: the tapper thread's t0 is not known", null));
                continue;
            }
            long mine = precise.lateness(99);
            long theirs = normal.lateness(99);
            targets.add(new Target(absolute, micros(mine) + " \u00b5s", mine <= 10_000));
            targets.add(new Target(relative, micros(mine) + " vs " + micros(theirs) + " \u00b5s"
                    + (theirs > 0 ? String.format(Locale.ROOT, " (%.3f\u00d7)", (double) mine / theirs) : ""),
                    10 * mine <= theirs));
        }
        return targets;
    }

    /**
     * The precise mode's CPU target: at 10 beats a second, at most 1% of a core, with the default mode's figure
     * beside it. Not measured where that case did not run or the CPU time is not known.
     */
    static Target cpuTarget(ScheduleResult tenPerSecond) {
        String goal = LIBRARY_PRECISE + " at 10 beats a second: CPU \u2264 1% of a core";
        if (tenPerSecond == null) {
            return new Target(goal, "not run", null);
        }
        CpuUse precise = tenPerSecond.cpu.get(LIBRARY_PRECISE);
        if (precise == null) {
            return new Target(goal, "not measured: the tapper thread's CPU time is not known", null);
        }
        CpuUse normal = tenPerSecond.cpu.get(LIBRARY);
        String measured = percent(precise.shareOfCore()) + "% (" + micros(Math.round(precise.perBeatNanos()))
                + " \u00b5s per beat)" + (normal == null ? "" : "; default mode " + percent(normal.shareOfCore())
                + "% (" + micros(Math.round(normal.perBeatNanos())) + " \u00b5s)");
        return new Target(goal, measured, precise.shareOfCore() <= 0.01);
    }

    /**
     * The phase error at a tempo change and a phrase boundary, per way, in microseconds: each way's changes and
     * strays, its phase error p50, p99 and max, the shift of its schedule (p50 and max), and its lateness elsewhere
     * (p50 and p99).
     */
    static String phaseTable(Map<PhaseCase.Way, PhaseCase.Errors> errors) {
        StringBuilder out = new StringBuilder();
        out.append("| change | way | changes | phase error p50 | p99 | max | shift p50 | max "
                + "| lateness elsewhere p50 | p99 |\n");
        out.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
        errors.forEach((way, e) -> {
            out.append("| ").append(way.event).append(" | ").append(way.how).append(" | ").append(e.changes)
                    .append(" |");
            if (e.changes == 0) {
                out.append(" |".repeat(7)).append('\n');
                return;
            }
            Stats phase = Stats.of(e.phase);
            Stats shift = Stats.of(e.shift);
            Stats elsewhere = Stats.of(e.elsewhere);
            for (long value : new long[] {phase.percentile(50), phase.percentile(99), phase.max(),
                shift.percentile(50), shift.max(), elsewhere.percentile(50), elsewhere.percentile(99)}) {
                out.append(' ').append(micros(value)).append(" |");
            }
            out.append('\n');
        });
        int strays = errors.values().stream().mapToInt(e -> e.strays).sum();
        if (strays > 0) {
            out.append("\nNote: ").append(strays).append(" beats at the old tempo were tapped before the stop came "
                    + "(left out of the figures; a listener would have heard them).\n");
        }
        return out.toString();
    }

    /** Whether real-time scheduling was granted, for the contenders that ask for it; empty if none does. */
    static String schedulingLine(ScheduleResult result) {
        if (result.granted.isEmpty()) {
            return "";
        }
        List<String> parts = new ArrayList<>();
        result.granted.forEach((name, granted) -> parts.add(name + ": " + granted));
        return "Real-time scheduling: " + String.join("; ", parts) + ".\n";
    }

    /** Lateness from each thread's own t0, in microseconds, for the contenders whose t0 is known. */
    static String fromT0Table(ScheduleResult result) {
        StringBuilder out = new StringBuilder();
        out.append("| contender | lateness from t0 p50 | p90 | p99 | max |\n|---|---:|---:|---:|---:|\n");
        for (Map.Entry<String, LatencyStats> entry : result.fromT0.entrySet()) {
            out.append("| ").append(entry.getKey()).append(" |");
            for (double p : PERCENTILES) {
                out.append(' ').append(micros(entry.getValue().lateness(p))).append(" |");
            }
            out.append('\n');
        }
        return out.toString();
    }

    /** The micro figures against their baselines. */
    static String microTable(MicroFigures micro) {
        StringBuilder out = new StringBuilder();
        out.append("| figure | tembrix | baseline | tembrix / baseline |\n");
        out.append("|---|---:|---:|---:|\n");
        out.append(row("getTimeNsec() vs raw clock_gettime(CLOCK_MONOTONIC), per call",
                nanos(micro.getTimeNsecNanos), nanos(micro.clockGettimeNanos),
                ratio(micro.getTimeNsecNanos, micro.clockGettimeNanos)));
        out.append(row("setBeatList of " + count(micro.listSize) + " beats vs Get/ReleaseDoubleArrayElements + copy",
                millis(micro.setBeatListNanos), millis(micro.getReleaseCopyNanos),
                ratio(micro.setBeatListNanos, micro.getReleaseCopyNanos)));
        out.append(row("tap rate, " + count(micro.overdueBeats) + " overdue beats vs C with one nanosleep per beat",
                rate(micro.libraryOverdueRate), rate(micro.floorSyscallRate),
                ratio(micro.libraryOverdueRate, micro.floorSyscallRate)));
        out.append(row("(C overdue loop without the syscall)", "", rate(micro.floorNoSyscallRate), ""));
        if (micro.stopNanos != null) {
            out.append(row("stopTapper() while the thread sleeps, p50 / p99 (" + micro.stopNanos.count() + " stops)",
                    percentiles(micro.stopNanos), "", ""));
            out.append(row("startTapper() until it returns, p50 / p99",
                    percentiles(micro.startNanos), "", ""));
        }
        if (micro.floorStopNanos != null) {
            out.append(row("(C, no JVM: pthread_cancel + pthread_join of a thread in nanosleep, p50 / p99)", "",
                    percentiles(micro.floorStopNanos), ""));
            out.append(row("(C, no JVM: signal + pthread_join of a thread in pthread_cond_timedwait, p50 / p99)", "",
                    percentiles(micro.floorCondvarStopNanos), ""));
        }
        if (micro.detachNanos != null) {
            out.append(row("(JVM: DetachCurrentThread of an attached native thread, p50 / p99)", "",
                    percentiles(micro.detachNanos), ""));
        }
        return out.toString();
    }

    /** Checks each target against what was measured; nothing is asserted. */
    static List<Target> targets(List<ScheduleResult> schedules, MicroFigures micro) {
        List<Target> targets = new ArrayList<>();
        for (ScheduleResult result : schedules) {
            LatencyStats library = result.stats.get(LIBRARY);
            if (library == null) {
                continue;
            }
            for (double p : new double[] {50, 99}) {
                String bestJava = bestPureJava(result, p);
                long best = bestJava == null ? 0 : result.stats.get(bestJava).jitter(p);
                long mine = library.jitter(p);
                String pct = "jitter p" + (int) p;
                if (bestJava != null) {
                    targets.add(new Target(result.name + ": " + pct + " \u2264 1.25\u00d7 the best pure-Java scheduler",
                            micros(mine) + " vs " + micros(best) + " \u00b5s (" + bestJava + ")", mine <= 1.25 * best));
                }
                LatencyStats floor = result.stats.get(FLOOR_MINIMAL);
                String floorGoal = result.name + ": " + pct + " \u2264 1.5\u00d7 bare C with 1 ns slack";
                targets.add(floor == null ? new Target(floorGoal, "not run", null)
                        : new Target(floorGoal, micros(mine) + " vs " + micros(floor.jitter(p)) + " \u00b5s",
                                mine <= 1.5 * floor.jitter(p)));
            }
            LatencyStats floor = result.stats.get(FLOOR_DEFAULT);
            String goal = result.name + ": lateness p50 \u2265 25 \u00b5s below bare C with default slack";
            targets.add(floor == null ? new Target(goal, "not run", null)
                    : new Target(goal, micros(library.lateness(50)) + " vs " + micros(floor.lateness(50)) + " \u00b5s",
                            library.lateness(50) + 25_000 <= floor.lateness(50)));
        }
        targets.add(ratioTarget("overdue tap rate \u2265 2\u00d7 one nanosleep syscall per beat",
                micro.libraryOverdueRate, micro.floorSyscallRate, ratio -> ratio >= 2));
        targets.add(ratioTarget("setBeatList of " + count(micro.listSize) + " \u2264 0.6\u00d7 Get/Release + copy",
                micro.setBeatListNanos, micro.getReleaseCopyNanos, ratio -> ratio <= 0.6));
        targets.add(ratioTarget("getTimeNsec \u2264 1.1\u00d7 raw clock_gettime",
                micro.getTimeNsecNanos, micro.clockGettimeNanos, ratio -> ratio <= 1.1));
        String stopGoal = "stop while sleeping p50 < 200 \u00b5s";
        targets.add(micro.stopNanos == null ? new Target(stopGoal, "not run", null)
                : new Target(stopGoal, micros(micro.stopNanos.percentile(50)) + " \u00b5s",
                        micro.stopNanos.percentile(50) < 200_000));
        return targets;
    }

    /**
     * The targets under load: with real-time scheduling granted in every run, the library's jitter p99 at most a
     * quarter of the best pure-Java scheduler's and at most 250 us. Not measured where it was refused.
     */
    static List<Target> loadTargets(List<ScheduleResult> underLoad) {
        List<Target> targets = new ArrayList<>();
        for (ScheduleResult result : underLoad) {
            LatencyStats library = result.stats.get(LIBRARY);
            if (library == null) {
                continue;
            }
            Granted granted = result.granted.get(LIBRARY);
            String refused = granted != null && granted.always() ? null
                    : "real-time " + (granted == null ? "not known" : granted.toString());
            long mine = library.jitter(99);
            String bestJava = bestPureJava(result, 99);
            long best = bestJava == null ? 0 : result.stats.get(bestJava).jitter(99);
            if (bestJava != null) {
                String measured = micros(mine) + " vs " + micros(best) + " \u00b5s (" + bestJava + ")";
                targets.add(new Target(result.name + ", real-time granted: jitter p99 \u2264 0.25\u00d7 the best "
                        + "pure-Java scheduler", refused == null ? measured : measured + "; " + refused,
                        refused == null ? Boolean.valueOf(mine <= 0.25 * best) : null));
            }
            targets.add(new Target(result.name + ", real-time granted: jitter p99 \u2264 250 \u00b5s",
                    micros(mine) + " \u00b5s" + (refused == null ? "" : "; " + refused),
                    refused == null ? Boolean.valueOf(mine <= 250_000) : null));
        }
        return targets;
    }

    /**
     * The allocating case's section, without its heading: what ran, a table of lateness p50, p99 and max in ms per
     * setting with real-time granted and refused (a privilege that could not be had has no columns, and a sentence
     * says why), and notes.
     */
    static String allocatingSection(AllocatingCase.Results results) {
        StringBuilder out = new StringBuilder();
        out.append(String.format(Locale.ROOT, "Each `tap()` allocates 1 KB while two other threads of the same JVM "
                + "churn the heap: %d beats at %d ms, lateness counted from `startTimeNanos()`, in ms. Every run is a "
                + "child JVM with `%s` and the collector named, on one CPU (`taskset -c %s`) or two (`taskset -c %s`); "
                + "\"real-time granted\" runs as this benchmark does, \"real-time refused\" under `%s`. %s, each "
                + "running every setting both ways in rotating order; percentiles pool the rounds.%n%n",
                results.beats, AllocatingCase.PERIOD_MICROS / 1000, AllocatingCase.HEAP, results.oneCpu,
                results.twoCpus,
                String.join(" ", results.refusePrefix), results.rounds + " round" + (results.rounds == 1 ? "" : "s")));
        List<AllocatingCase.Privilege> shown = new ArrayList<>();
        for (AllocatingCase.Privilege privilege : AllocatingCase.Privilege.values()) {
            if (!results.skipped.containsKey(privilege)) {
                shown.add(privilege);
            }
        }
        if (!results.cells.isEmpty() && !shown.isEmpty()) {
            out.append("| setting |");
            StringBuilder rule = new StringBuilder("|---|");
            for (AllocatingCase.Privilege privilege : shown) {
                out.append(' ').append(privilege.label).append(" p50 | p99 | max |");
                rule.append("---:|---:|---:|");
            }
            out.append('\n').append(rule).append('\n');
            results.cells.forEach((setting, cells) -> {
                out.append("| ").append(setting.name()).append(" |");
                for (AllocatingCase.Privilege privilege : shown) {
                    Stats stats = cells.get(privilege).stats();
                    for (double p : new double[] {50, 99, 100}) {
                        out.append(' ').append(stats == null ? "" : ms(stats.percentile(p))).append(" |");
                    }
                }
                out.append('\n');
            });
            out.append('\n');
            List<String> counts = new ArrayList<>();
            for (AllocatingCase.Privilege privilege : shown) {
                int realTime = 0;
                int runs = 0;
                for (Map<AllocatingCase.Privilege, AllocatingCase.Cell> cells : results.cells.values()) {
                    realTime += cells.get(privilege).realTimeRuns();
                    runs += cells.get(privilege).runs.size();
                }
                counts.add(realTime + " of " + runs + " runs with " + privilege.label);
            }
            out.append("The tapper thread ran real-time (`isRealTime()`) in ").append(String.join(" and ", counts))
                    .append(".\n\n");
        }
        results.skipped.forEach((privilege, reason) ->
                out.append("Not measured with ").append(privilege.label).append(": ").append(reason).append(".\n\n"));
        results.skippedSettings.forEach((setting, reason) ->
                out.append("Not run: ").append(setting).append(": ").append(reason).append(".\n\n"));
        results.cells.forEach((setting, cells) -> cells.forEach((privilege, cell) -> {
            int missed = cell.missedBeats();
            if (missed > 0) {
                out.append("Note: ").append(setting.name()).append(", ").append(privilege.label).append(": ")
                        .append(missed).append(" beats were not tapped within 20 s after the last one was due; "
                        + "they are left out of the figures.\n\n");
            }
        }));
        for (String line : results.childOutput) {
            out.append("Note: a child JVM printed: `").append(line.replace('`', '\'')).append("`\n\n");
        }
        return out.toString();
    }

    /**
     * The allocating case's targets: with real-time granted, lateness p99 and max at most 1.5 times the refused
     * run's plus 5 ms, for each setting. Measured only where every granted run got real-time and no refused run
     * did.
     */
    static List<Target> allocatingTargets(AllocatingCase.Results results) {
        List<Target> targets = new ArrayList<>();
        results.cells.forEach((setting, cells) -> {
            AllocatingCase.Cell granted = cells.get(AllocatingCase.Privilege.GRANTED);
            AllocatingCase.Cell refused = cells.get(AllocatingCase.Privilege.REFUSED);
            String why = whyNotComparable(granted, refused);
            Stats g = why == null ? granted.stats() : null;
            Stats r = why == null ? refused.stats() : null;
            for (String figure : new String[] {"p99", "max"}) {
                String goal = "allocating tap(), " + setting.name() + ": " + figure + " with real-time granted "
                        + "\u2264 1.5\u00d7 refused + 5 ms";
                if (why != null) {
                    targets.add(new Target(goal, why, null));
                    continue;
                }
                double p = figure.equals("max") ? 100 : 99;
                long mine = g.percentile(p);
                long baseline = r.percentile(p);
                targets.add(new Target(goal, ms(mine) + " vs " + ms(baseline) + " ms",
                        mine <= 1.5 * baseline + 5_000_000));
            }
        });
        results.skippedSettings.forEach((setting, reason) -> {
            for (String figure : new String[] {"p99", "max"}) {
                targets.add(new Target("allocating tap(), " + setting + ": " + figure + " with real-time granted "
                        + "\u2264 1.5\u00d7 refused + 5 ms", "not run: " + reason, null));
            }
        });
        return targets;
    }

    /** Why a setting's granted and refused runs cannot be compared; null if they can. */
    private static String whyNotComparable(AllocatingCase.Cell granted, AllocatingCase.Cell refused) {
        if (granted.skipped != null) {
            return "real-time could not be granted here";
        }
        if (refused.skipped != null) {
            return "real-time could not be refused here";
        }
        if (granted.stats() == null || refused.stats() == null) {
            return "no beat was tapped";
        }
        if (granted.realTimeRuns() < granted.runs.size()) {
            return "real-time granted in " + granted.realTimeRuns() + " of " + granted.runs.size() + " runs";
        }
        if (refused.realTimeRuns() > 0) {
            return "the refusal did not take in " + refused.realTimeRuns() + " of " + refused.runs.size() + " runs";
        }
        return null;
    }

    /** Nanoseconds as milliseconds: three decimals below 10 ms, one above. */
    static String ms(long nanos) {
        double ms = nanos / 1e6;
        return String.format(Locale.ROOT, Math.abs(ms) < 10 ? "%.3f" : "%.1f", ms);
    }

    /** The pure-Java scheduler with the lowest jitter at percentile p in this result, or null if none ran. */
    private static String bestPureJava(ScheduleResult result, double p) {
        String bestJava = null;
        long best = Long.MAX_VALUE;
        for (String name : PURE_JAVA) {
            LatencyStats stats = result.stats.get(name);
            if (stats != null && stats.jitter(p) < best) {
                best = stats.jitter(p);
                bestJava = name;
            }
        }
        return bestJava;
    }

    /** The targets as a Markdown table. */
    static String targetTable(List<Target> targets) {
        StringBuilder out = new StringBuilder("| target | measured | met |\n|---|---|---|\n");
        for (Target target : targets) {
            out.append("| ").append(target.goal).append(" | ").append(target.measured).append(" | ")
                    .append(target.met == null ? "not measured" : target.met ? "yes" : "**no**").append(" |\n");
        }
        return out.toString();
    }

    private static Target ratioTarget(String goal, double mine, double baseline,
            java.util.function.DoublePredicate met) {
        if (Double.isNaN(mine) || Double.isNaN(baseline)) {
            return new Target(goal, "not run", null);
        }
        double value = mine / baseline;
        return new Target(goal, String.format(Locale.ROOT, "%.2f\u00d7", value), met.test(value));
    }

    private static String percentiles(Stats stats) {
        return micros(stats.percentile(50)) + " / " + micros(stats.percentile(99)) + " \u00b5s";
    }

    private static String row(String figure, String mine, String baseline, String ratio) {
        return "| " + figure + " | " + mine + " | " + baseline + " | " + ratio + " |\n";
    }

    /** Nanoseconds as microseconds with one decimal. */
    static String micros(long nanos) {
        return String.format(Locale.ROOT, "%.1f", nanos / 1e3);
    }

    private static String nanos(double nanos) {
        return Double.isNaN(nanos) ? "not run" : String.format(Locale.ROOT, "%.1f ns", nanos);
    }

    private static String millis(double nanos) {
        return Double.isNaN(nanos) ? "not run" : String.format(Locale.ROOT, "%.2f ms", nanos / 1e6);
    }

    private static String rate(double perSecond) {
        return Double.isNaN(perSecond) ? "not run" : String.format(Locale.ROOT, "%.2f M taps/s", perSecond / 1e6);
    }

    private static String ratio(double mine, double baseline) {
        return Double.isNaN(mine) || Double.isNaN(baseline) ? "" : String.format(Locale.ROOT, "%.2f", mine / baseline);
    }

    private static String count(int n) {
        if (n >= 1_000_000 && n % 1_000_000 == 0) {
            return n / 1_000_000 + "M";
        }
        if (n >= 1_000 && n % 1_000 == 0) {
            return n / 1_000 + "k";
        }
        return Integer.toString(n);
    }
}
