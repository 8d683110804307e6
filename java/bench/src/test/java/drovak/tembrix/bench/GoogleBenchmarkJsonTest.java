package drovak.tembrix.bench;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.Map;
import org.junit.jupiter.api.Test;

class GoogleBenchmarkJsonTest {

    private static final String CONTEXT = "{\n  \"context\": {\n    \"num_cpus\": 2,\n    \"caches\": [\n"
            + "      {\"type\": \"Data\", \"level\": 1, \"size\": 32768}\n    ],\n"
            + "    \"library_build_type\": \"release\"\n  },\n  \"benchmarks\": [\n";

    private static String entry(String name, String runName, String aggregate, String realTime, String unit) {
        return "    {\n      \"name\": \"" + name + "\",\n      \"run_name\": \"" + runName + "\",\n"
                + (aggregate == null ? "      \"run_type\": \"iteration\",\n"
                        : "      \"run_type\": \"aggregate\",\n      \"aggregate_name\": \"" + aggregate + "\",\n")
                + "      \"iterations\": 3,\n      \"real_time\": " + realTime + ",\n      \"cpu_time\": 1.0,\n"
                + "      \"time_unit\": \"" + unit + "\"\n    }";
    }

    @Test
    void takesTheMedianAggregateWhenThereAreRepetitions() {
        String json = CONTEXT
                + entry("BM_clock_gettime_mean", "BM_clock_gettime", "mean", "3.5e+01", "ns") + ",\n"
                + entry("BM_clock_gettime_median", "BM_clock_gettime", "median", "3.4089819765203252e+01", "ns")
                + ",\n" + entry("BM_clock_gettime_stddev", "BM_clock_gettime", "stddev", "0.5", "ns") + ",\n"
                + entry("BM_getTimeNsec_median", "BM_getTimeNsec", "median", "0.036", "us") + "\n  ]\n}\n";
        Map<String, Double> times = GoogleBenchmarkJson.realTimeNanos(json);
        assertEquals(2, times.size());
        assertEquals(34.0898, times.get("BM_clock_gettime"), 1e-3);
        assertEquals(36.0, times.get("BM_getTimeNsec"), 1e-9, "microseconds are converted");
    }

    @Test
    void takesTheSingleRunWithoutRepetitions() {
        String json = CONTEXT + entry("BM_getTimeNsec", "BM_getTimeNsec", null, "40.5", "ns") + "\n  ]\n}\n";
        assertEquals(Map.of("BM_getTimeNsec", 40.5), GoogleBenchmarkJson.realTimeNanos(json));
    }

    @Test
    void rejectsAnUnknownTimeUnit() {
        String json = CONTEXT + entry("BM_x", "BM_x", null, "1", "fortnights") + "\n  ]\n}\n";
        assertThrows(IllegalArgumentException.class, () -> GoogleBenchmarkJson.realTimeNanos(json));
    }
}
