package drovak.tembrix.bench;

import java.util.LinkedHashMap;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Reads the per-iteration real time of each benchmark from Google Benchmark's JSON output. With repetitions the
 * median aggregate is taken; without, the single run.
 */
final class GoogleBenchmarkJson {

    private static final Pattern ENTRY = Pattern.compile("\\{[^{}]*\"name\"\\s*:\\s*\"([^\"]+)\"[^{}]*\\}");
    private static final Pattern RUN_NAME = Pattern.compile("\"run_name\"\\s*:\\s*\"([^\"]+)\"");
    private static final Pattern AGGREGATE = Pattern.compile("\"aggregate_name\"\\s*:\\s*\"([^\"]+)\"");
    private static final Pattern REAL_TIME = Pattern.compile("\"real_time\"\\s*:\\s*([-+0-9.eE]+)");
    private static final Pattern TIME_UNIT = Pattern.compile("\"time_unit\"\\s*:\\s*\"(\\w+)\"");

    private GoogleBenchmarkJson() {}

    /**
     * Nanoseconds per iteration for each benchmark, by run name (such as {@code BM_getTimeNsec}).
     *
     * @throws IllegalArgumentException if an entry has no real time or an unknown time unit
     */
    static Map<String, Double> realTimeNanos(String json) {
        Map<String, Double> single = new LinkedHashMap<>();
        Map<String, Double> median = new LinkedHashMap<>();
        Matcher entry = ENTRY.matcher(json);
        while (entry.find()) {
            String body = entry.group();
            Matcher runName = RUN_NAME.matcher(body);
            String name = runName.find() ? runName.group(1) : entry.group(1);
            Matcher aggregate = AGGREGATE.matcher(body);
            boolean isAggregate = aggregate.find();
            if (isAggregate && !aggregate.group(1).equals("median")) {
                continue;
            }
            Matcher realTime = REAL_TIME.matcher(body);
            if (!realTime.find()) {
                throw new IllegalArgumentException("benchmark " + name + " has no real_time");
            }
            double nanos = Double.parseDouble(realTime.group(1)) * nanosPerUnit(body, name);
            (isAggregate ? median : single).put(name, nanos);
        }
        Map<String, Double> result = new LinkedHashMap<>(single);
        result.putAll(median);
        return result;
    }

    private static double nanosPerUnit(String body, String name) {
        Matcher unit = TIME_UNIT.matcher(body);
        String value = unit.find() ? unit.group(1) : "ns";
        switch (value) {
            case "ns":
                return 1;
            case "us":
                return 1e3;
            case "ms":
                return 1e6;
            case "s":
                return 1e9;
            default:
                throw new IllegalArgumentException("benchmark " + name + " has an unknown time unit " + value);
        }
    }
}
