package drovak.tembrix;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.PrintWriter;
import java.io.StringWriter;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.locks.LockSupport;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

class MetronomeSessionTest {

    /** Holds up the printer's first line, as a blocked terminal or pipe would, until released. */
    private static final class StalledOutput extends StringWriter {
        final CountDownLatch release = new CountDownLatch(1);

        @Override
        public void write(String text, int offset, int length) {
            if (Thread.currentThread().getName().equals("tembrix-printer")) {
                try {
                    release.await(10, TimeUnit.SECONDS);
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                }
            }
            super.write(text, offset, length);
        }
    }

    private static final Pattern GAP = Pattern.compile(" +beats? (\\d+)(?: to (\\d+))? not measured: the output fell behind");

    @Test
    void aPrinterThatFallsARingBehindLosesBeatsItShowsAndCountsButTheBeatsGoOn() throws Exception {
        StalledOutput text = new StalledOutput();
        PrintWriter out = new PrintWriter(text, true);
        // The printer, with room for 4 beats, is held up at its first line until all 30 have been heard.
        MetronomeSession session = new MetronomeSession(new TempoPlan(6000, null, null, 4), 30, false, out, out,
                null, false, 4);
        Thread releaser = new Thread(() -> {
            while (session.heard() < 30) {
                LockSupport.parkNanos(1_000_000);
            }
            text.release.countDown();
        });
        releaser.setDaemon(true);
        releaser.start();
        MetronomeSession.Result result = session.play(r -> { });
        releaser.join();

        assertEquals(30, result.heard(), "every beat of the count was heard");
        assertTrue(result.unmeasured() >= 25, "those that found the ring full went unmeasured: " + text);
        assertEquals(30 - result.unmeasured(), result.latenessNanos().length);
        // Each beat is either printed or in a gap line, in order.
        long next = 1;
        for (String line : text.toString().lines().skip(1).collect(Collectors.toList())) {
            Matcher gap = GAP.matcher(line);
            if (gap.matches()) {
                assertEquals(next, Long.parseLong(gap.group(1)), line);
                next = gap.group(2) != null ? Long.parseLong(gap.group(2)) + 1 : next + 1;
            } else {
                assertEquals(next++, Long.parseLong(line.strip().split(" +")[0]), line);
            }
        }
        assertEquals(31, next, text.toString());

        StringWriter summary = new StringWriter();
        Report.printMetronomeSummary(new PrintWriter(summary, true), result);
        assertEquals("taps      30 of 30; " + result.unmeasured() + " not measured: the output fell behind",
                summary.toString().lines().findFirst().orElse(""));
    }
}
