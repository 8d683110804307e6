package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import org.junit.jupiter.api.Test;

class ReportTest {

    /** One run of 100 beats, lateness base + i * step: jitter p50 is 49 steps and p99 98 steps. */
    private static LatencyStats run(long base, long step) {
        long[] lateness = new long[100];
        for (int i = 0; i < lateness.length; i++) {
            lateness[i] = base + i * step;
        }
        return LatencyStats.of(List.<long[]>of(lateness));
    }

    private static Report.ScheduleResult result(Map<String, LatencyStats> stats) {
        return new Report.ScheduleResult("grid", stats, Map.of(), Map.of());
    }

    private static Report.Target find(List<Report.Target> targets, String goalPart) {
        for (Report.Target target : targets) {
            if (target.goal.contains(goalPart)) {
                return target;
            }
        }
        throw new AssertionError("no target " + goalPart + " in " + targets.size());
    }

    private static Map<String, LatencyStats> contenders() {
        Map<String, LatencyStats> stats = new LinkedHashMap<>();
        stats.put(Report.LIBRARY, run(0, 100));                 // jitter p50 4900, p99 9800, lateness p50 4900
        stats.put("parkNanos loop", run(500, 120));             // 5880, 11760
        stats.put("ScheduledThreadPoolExecutor", run(500, 90)); // 4410, 8820: the best pure-Java scheduler
        stats.put("java.util.Timer", run(500, 1000));
        stats.put(Report.FLOOR_DEFAULT, run(29_900 - 49 * 50, 50)); // lateness p50 exactly 25 us above
        stats.put(Report.FLOOR_MINIMAL, run(0, 60));            // jitter p50 2940: 1.5x is 4410
        return stats;
    }

    @Test
    void jitterIsComparedWithTheBestPureJavaSchedulerAndTheFloor() {
        List<Report.Target> targets = Report.targets(List.of(result(contenders())), new MicroFigures());
        Report.Target p50Java = find(targets, "jitter p50 \u2264 1.25");
        assertTrue(p50Java.met, p50Java.measured);
        assertTrue(p50Java.measured.contains("ScheduledThreadPoolExecutor"), p50Java.measured);
        assertTrue(find(targets, "jitter p99 \u2264 1.25").met);
        Report.Target p50Floor = find(targets, "jitter p50 \u2264 1.5");
        assertFalse(p50Floor.met, "4.9 us is over 1.5 x 2.94 us");
        assertEquals("4.9 vs 2.9 \u00b5s", p50Floor.measured);
    }

    @Test
    void latencyMustBeAtLeast25MicrosecondsBelowTheDefaultSlackFloor() {
        Map<String, LatencyStats> stats = contenders();
        assertTrue(find(Report.targets(List.of(result(stats)), new MicroFigures()), "lateness p50").met,
                "exactly 25 us lower meets it");
        stats.put(Report.FLOOR_DEFAULT, run(29_899 - 49 * 50, 50));
        assertFalse(find(Report.targets(List.of(result(stats)), new MicroFigures()), "lateness p50").met);
    }

    @Test
    void targetsWithoutTheirMeasurementAreReportedAsNotMeasured() {
        Map<String, LatencyStats> stats = contenders();
        stats.remove(Report.FLOOR_DEFAULT);
        stats.remove(Report.FLOOR_MINIMAL);
        List<Report.Target> targets = Report.targets(List.of(result(stats)), new MicroFigures());
        assertNull(find(targets, "jitter p99 \u2264 1.5").met);
        assertNull(find(targets, "lateness p50").met);
        assertNull(find(targets, "getTimeNsec").met);
        assertNull(find(targets, "stop while sleeping").met);
        String table = Report.targetTable(targets);
        assertTrue(table.contains("| not run | not measured |"), table);
    }

    @Test
    void microTargetsUseTheirRatios() {
        MicroFigures micro = new MicroFigures();
        micro.listSize = 2_000_000;
        micro.setBeatListNanos = 6;
        micro.getReleaseCopyNanos = 10;
        micro.libraryOverdueRate = 3.9e6;
        micro.floorSyscallRate = 2e6;
        micro.getTimeNsecNanos = 40;
        micro.clockGettimeNanos = 35;
        List<Report.Target> targets = Report.targets(List.of(), micro);
        assertTrue(find(targets, "setBeatList of 2M").met, "0.6 exactly meets it");
        assertFalse(find(targets, "overdue tap rate").met, "1.95x is under 2x");
        assertEquals("1.95\u00d7", find(targets, "overdue tap rate").measured);
        assertFalse(find(targets, "getTimeNsec").met, "1.14x is over 1.1x");
    }

    @Test
    void underLoadTheTargetsCountOnlyWhereRealTimeWasGrantedInEveryRun() {
        Map<String, LatencyStats> stats = contenders(); // library jitter p99 9.8 us, best Java 8.82 us
        stats.put(Report.LIBRARY, run(0, 2));            // 196 ns: under a quarter, and under 250 us
        Report.ScheduleResult granted = new Report.ScheduleResult("grid, under load", stats, Map.of(), Map.of(),
                Map.of(Report.LIBRARY, new Report.Granted(4, 4, "SCHED_FIFO")), Map.of());
        List<Report.Target> targets = Report.loadTargets(List.of(granted));
        assertTrue(find(targets, "0.25\u00d7 the best pure-Java").met);
        assertTrue(find(targets, "jitter p99 \u2264 250").met);
        assertEquals("granted in all 4 runs (SCHED_FIFO)", granted.granted.get(Report.LIBRARY).toString());

        Report.ScheduleResult partly = new Report.ScheduleResult("grid, under load", stats, Map.of(), Map.of(),
                Map.of(Report.LIBRARY, new Report.Granted(3, 4, "SCHED_FIFO")), Map.of());
        Report.Target refused = find(Report.loadTargets(List.of(partly)), "jitter p99 \u2264 250");
        assertNull(refused.met);
        assertTrue(refused.measured.endsWith("real-time granted in 3 of 4 runs (SCHED_FIFO)"), refused.measured);
        assertTrue(Report.schedulingLine(partly).startsWith("Real-time scheduling: tembrix: granted in 3 of 4"));
    }

    @Test
    void tableHasOneRowPerContenderInMicrosecondsWithItsCpuTimeWhereKnown() {
        // 50 us over 10 beats spanning 10 ms: 5 us a beat, half a percent of a core.
        Report.ScheduleResult result = new Report.ScheduleResult("grid", contenders(), Map.of(),
                Map.of(Report.LIBRARY, "\u2264 300.0"), Map.of(),
                Map.of(Report.LIBRARY, new CpuUse(50_000, 10, 10_000_000)));
        String[] lines = Report.table(result).split("\n");
        assertEquals(2 + 6, lines.length);
        assertEquals("| tembrix | 4.9 | 8.9 | 9.8 | 9.9 | 4.9 | 8.9 | 9.8 | 9.9 | 5.0 | 0.50 | \u2264 300.0 |", lines[2]);
        assertTrue(lines[3].endsWith("| 11.9 |  |  |  |"), "no CPU time known: " + lines[3]);
    }

    @Test
    void preciseModeMustStayWithinTenMicrosecondsAndATenthOfTheDefaultMode() {
        Map<String, LatencyStats> stats = contenders();
        stats.put(Report.LIBRARY_PRECISE, run(0, 1));
        Map<String, LatencyStats> fromT0 = new LinkedHashMap<>();
        fromT0.put(Report.LIBRARY, run(100_000, 0));
        fromT0.put(Report.LIBRARY_PRECISE, run(10_000, 0));
        List<Report.Target> atBounds = Report.preciseTargets(List.of(
                new Report.ScheduleResult("grid", stats, fromT0, Map.of())));
        assertTrue(find(atBounds, "\u2264 10 \u00b5s").met, "exactly 10 us meets it");
        Report.Target tenth = find(atBounds, "0.1\u00d7 the default mode's");
        assertTrue(tenth.met, "exactly a tenth meets it");
        assertEquals("10.0 vs 100.0 \u00b5s (0.100\u00d7)", tenth.measured);

        fromT0.put(Report.LIBRARY_PRECISE, run(10_001, 0));
        List<Report.Target> over = Report.preciseTargets(List.of(
                new Report.ScheduleResult("grid", stats, fromT0, Map.of())));
        assertFalse(find(over, "\u2264 10 \u00b5s").met);
        assertFalse(find(over, "0.1\u00d7 the default mode's").met);

        List<Report.Target> unknown = Report.preciseTargets(List.of(
                new Report.ScheduleResult("grid", stats, Map.of(), Map.of())));
        assertNull(find(unknown, "\u2264 10 \u00b5s").met, "no t0, no lateness from the due time");
    }

    @Test
    void cpuTargetIsOnePercentOfACoreAtTenBeatsASecond() {
        Map<String, CpuUse> cpu = new LinkedHashMap<>();
        cpu.put(Report.LIBRARY, new CpuUse(3_900_000, 39, 3_900_000_000L));
        cpu.put(Report.LIBRARY_PRECISE, new CpuUse(39_000_000, 39, 3_900_000_000L)); // 1 ms a beat: 1%
        Report.ScheduleResult slow = new Report.ScheduleResult("slow", contenders(), Map.of(), Map.of(), Map.of(),
                cpu);
        Report.Target target = Report.cpuTarget(slow);
        assertTrue(target.met, target.measured);
        assertEquals("1.00% (1000.0 \u00b5s per beat); default mode 0.10% (100.0 \u00b5s)", target.measured);
        cpu.put(Report.LIBRARY_PRECISE, new CpuUse(39_000_001, 39, 3_900_000_000L));
        assertFalse(Report.cpuTarget(slow).met);
        assertEquals("not run", Report.cpuTarget(null).measured);
        cpu.remove(Report.LIBRARY_PRECISE);
        assertNull(Report.cpuTarget(slow).met, "CPU time not known");
    }

    @Test
    void phaseTableGivesEachWaysFiguresAndCountsTheStrays() {
        Map<PhaseCase.Way, PhaseCase.Errors> errors = new java.util.EnumMap<>(PhaseCase.Way.class);
        errors.put(PhaseCase.Way.METRONOME, new PhaseCase.Errors(new long[] {1_000, 3_000, 2_000, 4_000},
                new long[] {0}, new long[] {5_000, 6_000}, 0));
        errors.put(PhaseCase.Way.RESTART_TEMPO, new PhaseCase.Errors(new long[0], new long[0], new long[0], 2));
        String[] lines = Report.phaseTable(errors).split("\n");
        assertEquals("| tempo change | " + PhaseCase.Way.METRONOME.how
                + " | 1 | 2.0 | 4.0 | 4.0 | 0.0 | 0.0 | 5.0 | 6.0 |", lines[2]);
        assertEquals(lines[1].chars().filter(c -> c == '|').count(), lines[3].chars().filter(c -> c == '|').count(),
                "a way without changes still fills its row: " + lines[3]);
        assertTrue(lines[5].startsWith("Note: 2 beats at the old tempo"), lines[5]);
    }

    private static AllocatingCase.Run allocRun(boolean realTime, long base) {
        long[] lateness = new long[100];
        for (int i = 0; i < lateness.length; i++) {
            lateness[i] = base + i * 1_000_000L; // p99 base + 98 ms, max base + 99 ms
        }
        return new AllocatingCase.Run(realTime, 100, lateness);
    }

    @Test
    void allocatingTargetsAllowOneAndAHalfTimesTheRefusedRunPlusFiveMilliseconds() {
        AllocatingCase.Results results = new AllocatingCase.Results(1, 100);
        AllocatingCase.Setting atBound = new AllocatingCase.Setting(AllocatingCase.Gc.G1, 1, "0");
        AllocatingCase.Setting notGranted = new AllocatingCase.Setting(AllocatingCase.Gc.G1, 2, "0,1");
        AllocatingCase.Setting over = new AllocatingCase.Setting(AllocatingCase.Gc.SHENANDOAH, 2, "0,1");
        // Refused p99 98 ms: the bound is 152 ms, which a granted base of 54 ms reaches exactly.
        results.cell(atBound, AllocatingCase.Privilege.GRANTED).runs.add(allocRun(true, 54_000_000));
        results.cell(atBound, AllocatingCase.Privilege.REFUSED).runs.add(allocRun(false, 0));
        results.cell(notGranted, AllocatingCase.Privilege.GRANTED).runs.add(allocRun(false, 0));
        results.cell(notGranted, AllocatingCase.Privilege.REFUSED).runs.add(allocRun(false, 0));
        results.cell(over, AllocatingCase.Privilege.GRANTED).runs.add(allocRun(true, 54_000_001));
        results.cell(over, AllocatingCase.Privilege.REFUSED).runs.add(allocRun(false, 0));
        results.skippedSettings.put("Shenandoah, one CPU", "this JVM has no Shenandoah collector");
        List<Report.Target> targets = Report.allocatingTargets(results);
        assertEquals(8, targets.size());
        Report.Target p99 = find(targets, "G1, one CPU: p99");
        assertTrue(p99.met, p99.measured);
        assertEquals("152.0 vs 98.0 ms", p99.measured);
        assertTrue(find(targets, "G1, one CPU: max").met, "153 ms, within 1.5 x 99 + 5 ms");
        assertFalse(find(targets, "Shenandoah, two CPUs: p99").met, "1 ns over");
        assertNull(find(targets, "G1, two CPUs: p99").met);
        assertEquals("real-time granted in 0 of 1 runs", find(targets, "G1, two CPUs: max").measured);
        assertNull(find(targets, "Shenandoah, one CPU: p99").met);

        // Where real-time cannot be granted, the table has no granted columns and says why.
        AllocatingCase.Results refusedHere = new AllocatingCase.Results(1, 100);
        refusedHere.skipped.put(AllocatingCase.Privilege.GRANTED, "refused to this process");
        refusedHere.cell(atBound, AllocatingCase.Privilege.GRANTED).skipped = "refused to this process";
        refusedHere.cell(atBound, AllocatingCase.Privilege.REFUSED).runs.add(allocRun(false, 0));
        String section = Report.allocatingSection(refusedHere);
        assertTrue(section.contains("| setting | real-time refused p50 | p99 | max |\n|---|---:|---:|---:|\n"
                + "| G1, one CPU | 49.0 | 98.0 | 99.0 |\n"), section);
        assertTrue(section.contains("Not measured with real-time granted: refused to this process."), section);
        assertNull(find(Report.allocatingTargets(refusedHere), "G1, one CPU: p99").met);
    }
}
